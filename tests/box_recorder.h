// Records the message boxes the program shows while it lives (any thread), instead of showing them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

class box_recorder {
  public:
    box_recorder() {
        std::lock_guard lk(m());
        texts().clear();
        old_ = ui::set_message_box_handler(record);
    }
    ~box_recorder() { ui::set_message_box_handler(old_); }
    box_recorder(const box_recorder&) = delete;
    box_recorder& operator=(const box_recorder&) = delete;

    std::vector<std::string> seen() const {
        std::lock_guard lk(m());
        return texts();
    }

  private:
    static std::mutex& m() {
        static std::mutex mu;
        return mu;
    }
    static std::vector<std::string>& texts() {
        static std::vector<std::string> t;
        return t;
    }
    static int record(ui::window_handle, const char* text, const char*, uint32_t) {
        std::lock_guard lk(m());
        texts().emplace_back(text ? text : "");
        return ui::id_ok;
    }
    ui::message_box_fn old_ = nullptr;
};
