// The terminal user interface (ncursesw): draws the headless model of the main window on the
// terminal and turns keys and mouse clicks into the messages a window system would send.
//
// Screen: the title on the top line, the menu bar under it, then the client area with pixel x / 10
// as column and y / 20 as row (so the settings line, the table header and sixteen rows fall on
// consecutive lines). F10 or Alt with a mnemonic opens the menu; arrows, Enter and Escape work it;
// dialogs and message boxes are framed boxes (Enter OK, Escape Cancel, Tab moves the focus).
#pragma once

#include <csignal>

#include "platform/ui/ui.h"

namespace ui::term {

// Runs program(cmdline) with the terminal as its user interface and puts the terminal back
// afterwards. `created` runs once the main window exists. When *stop_flag becomes nonzero (set by
// a signal handler) the window is closed as the close box would close it. Returns the program's
// result.
int run(void (*created)(window_handle), volatile sig_atomic_t* stop_flag, int (*program)(const char* cmdline),
        const char* cmdline);

}  // namespace ui::term
