// User-interface services the program calls on. For now: message boxes owned by the main window.
#pragma once

#include <cstdint>

namespace ui {

struct window;
using window_handle = window*;

constexpr uint32_t mb_ok = 0;
constexpr int id_ok = 1;

// Shows text with a caption and an OK button; returns when the operator has dismissed it.
// May be called from any thread.
int message_box(window_handle owner, const char* text, const char* caption, uint32_t type);

// The back end that shows message boxes. The default (headless) one prints the text on stderr.
using message_box_fn = int (*)(window_handle owner, const char* text, const char* caption, uint32_t type);
message_box_fn set_message_box_handler(message_box_fn fn);

}  // namespace ui
