// Headless message boxes: the text goes to stderr and the box counts as dismissed at once.
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/ui/ui.h"

namespace ui {
namespace {

int print_box(window_handle, const char* text, const char* caption, uint32_t) {
    // The program ends lines with carriage returns, as its message boxes do; show them as lines.
    std::string s(text ? text : "");
    for (auto& c : s)
        if (c == '\r') c = '\n';
    if (s.empty() || s.back() != '\n') s += '\n';
    std::fprintf(stderr, "[%s] %s", caption ? caption : "", s.c_str());
    return id_ok;
}

std::atomic<message_box_fn> handler{print_box};

}  // namespace

int message_box(window_handle owner, const char* text, const char* caption, uint32_t type) {
    return handler.load()(owner, text, caption, type);
}

message_box_fn set_message_box_handler(message_box_fn fn) { return handler.exchange(fn ? fn : print_box); }

}  // namespace ui
