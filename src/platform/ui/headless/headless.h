// The headless user interface: an in-memory model of the main window (title, menu states, a
// character grid of the client area, timers on the kernel clock, a message queue) with dialogs and
// message boxes answered by a script or by a default. Tests drive the real window procedure
// through it, batch mode runs on it, and the terminal back end draws it and feeds it input.
//
// Client area pixels map onto the grid as column = x / 10, row = y / 20.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/ui.h"
#include "res/resources.h"

namespace ui::headless {

constexpr int grid_rows = 21;   // 420 / 20
constexpr int grid_cols = 160;  // wider than the window: text drawn past its right edge is kept
constexpr colorref black = 0x000000;

// ---- Hooks a presenting back end installs (every hook is optional) -------------------------------
struct backend {
    // Blocks until input may have arrived or clock_ms of clock time have passed. The default waits
    // on the queue's wake-up event.
    void (*wait)(uint32_t clock_ms) = nullptr;
    // The window's look changed (a paint ended, title or menu states changed).
    void (*present)(window_handle w) = nullptr;
    // A message box on the window thread: show it, run modal_pump() until dismissed, return the id.
    int (*box)(window_handle owner, const char* text, const char* caption) = nullptr;
    // A message box from another thread.
    int (*thread_box)(window_handle owner, const char* text, const char* caption) = nullptr;
    // Drives a modal dialog until dialog_ended(dlg); runs modal_pump() meanwhile.
    void (*run_dialog)(window_handle dlg) = nullptr;
    // Runs the menu bar (wm_syscommand sc_keymenu); `key` is the mnemonic typed, or 0.
    void (*menu_loop)(window_handle w, int key) = nullptr;
    // Called once the main window exists, before the message loop (front ends post commands here).
    void (*created)(window_handle w) = nullptr;
};
void set_backend(const backend& b);
const backend& current_backend();

// The number in a dialog's edit text as get_dlg_item_int reads it: blanks around it, one '-' when
// signed, decimal digits; *translated false (and 0) when the text is anything else or out of range.
uint32_t parse_dlg_int(const char* text, bool is_signed, bool* translated);

// Forgets every window, timer, queued message, script and log (tests start from here).
void reset();

// Dispatches one message if there is one, else waits a little; false once wm_quit was seen
// (it is put back for the outer loop). For modal loops.
bool modal_pump();
// Runs modal_pump() for clock_ms of clock time.
void pump_for(uint32_t clock_ms);

// The default wait: up to clock_ms of clock time, or until a message is posted.
void wait_queue(uint32_t clock_ms);

// Runs fn(arg) on the window thread when its turn in the queue comes (tests run their steps inside
// the program's own message loop this way).
void post_task(void (*fn)(void*), void* arg);

// ---- Scripts -----------------------------------------------------------------------------------
// One answer per dialog opened, in order: each step optionally puts text into the first edit
// control, then sends the command (1 OK, 2 Cancel); hold_ms of clock time pass before the step.
// When the steps are used up and the dialog is still open it is cancelled (and then OK'd).
// Without a script a dialog is answered with OK on its initial text.
struct dialog_step {
    const char* text;  // nullptr: leave the field as it is
    int command;
    uint32_t hold_ms = 0;
};
void script_dialog(std::vector<dialog_step> steps);
// The next message boxes on the window thread stay open for hold_ms of clock time each.
void script_box_hold(uint32_t hold_ms);
// Message boxes are echoed on stderr unless switched off.
void set_box_echo(bool on);

// ---- Inspection ----------------------------------------------------------------------------------
struct box_record {
    std::string text, caption;
    bool window_thread;
};
std::vector<box_record> boxes();

struct dialog_record {
    std::string name;  // template name as looked up
    std::string caption;
    std::string initial_text;  // edit text after wm_initdialog
    int commands_sent = 0;     // commands the dialog took until it ended
    bool first_command_ended = false;
    intptr_t result = 0;
};
std::vector<dialog_record> dialogs();

struct draw_record {
    int x, y;
    std::string text;
    colorref color;
};
// The text_out calls of the last paint.
std::vector<draw_record> last_paint();
int paints();

window_handle main_window();
std::string title(window_handle w);
bool visible(window_handle w);
bool alive(window_handle w);
const res::menu_template* menu_of(window_handle w);
// (id, flags) of every enable_menu_item call since the last clear, in order.
std::vector<std::pair<uint32_t, uint32_t>> menu_calls();
void clear_menu_calls();

// A grid row as drawn (trailing blanks kept), and the colour of one cell.
std::string row(int r);
colorref cell_color(int r, int c);
// Overwrites the whole grid with blanks (tests look at what the next paint draws).
void clear_grid();

// Fonts created and not yet freed; delete_font calls refused because the font was selected.
int live_fonts();
int refused_font_deletes();
bool timer_active(window_handle w, uintptr_t id);
uint32_t timer_period(window_handle w, uintptr_t id);
int exit_code();

// ---- For presenting back ends --------------------------------------------------------------------
struct control_state {
    const res::control* tpl;
    std::string text;
};
const res::dialog_template* dialog_template_of(window_handle dlg);
std::vector<control_state> dialog_controls(window_handle dlg);
bool dialog_ended(window_handle dlg);
// Sends wm_command with the id to the dialog procedure; returns its answer.
intptr_t dialog_command(window_handle dlg, int id);

}  // namespace ui::headless
