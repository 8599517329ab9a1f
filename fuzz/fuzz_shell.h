// Runs the program's window on the headless interface for one fuzz input: `body` runs as the main
// window is created (as the command line's options do), then the window is closed.
#pragma once

#include <functional>

#include "model/chnl.h"
#include "platform/ui/headless/headless.h"
#include "zentrel.h"

namespace fuzz_shell {

inline std::function<void(ui::window_handle)>* body = nullptr;

inline void created(ui::window_handle w) {
    (*body)(w);
    ui::post_message(w, ui::wm_close, 0, 0);
}

inline int run(const char* cmdline, std::function<void(ui::window_handle)> steps) {
    ui::headless::reset();
    ui::headless::set_box_echo(false);
    ui::headless::backend b;
    b.created = created;
    ui::headless::set_backend(b);
    zentrel::settings_reset();
    zentrel::shell_reset();
    body = &steps;
    int code = zentrel::WinMain(nullptr, nullptr, cmdline, ui::sw_shownormal);
    body = nullptr;
    return code;
}

// Channel records are numbered on from the first, wrapping at the end of the 32-bit range.
inline bool numbered_from(int32_t first) {
    for (int i = 0; i < zentrel::max_chnls; i++)
        if (zentrel::chnls[i].com_nbr !=
            static_cast<int32_t>(static_cast<uint32_t>(first) + static_cast<uint32_t>(i)))
            return false;
    return true;
}

}  // namespace fuzz_shell
