// The user interface on Windows: ui.h on the real window system (windows, menus and dialogs from the
// compiled resources, GDI text, timers, message boxes). Handles are the system's own handles.
//
// Message boxes asked for by other threads than the window's are shown by a thread of their own
// without an owner: the window thread is never held up, and the asking thread waits at a kernel
// termination point, so a run can still be stopped while one is up.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace ui::win32 {

// What the last completed paint drew with text_out, in order (tests read the window through it).
struct drawn_text {
    int x, y;
    std::string text;
    colorref color;
};
std::vector<drawn_text> last_paint();
int paints();

}  // namespace ui::win32
