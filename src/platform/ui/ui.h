// User-interface services the program calls on: one main window with a menu, timers, painting of
// text at pixel positions, modal dialogs built from the resource templates, and message boxes.
//
// The interface keeps the shape of the services a Windows program uses (RegisterClass,
// CreateWindowEx, SetTimer, BeginPaint, TextOut, DialogBoxParam, GetMessage, ...) so the window
// procedure and the dialog procedures read the same on every platform. Everything here is driven
// by messages on the window thread; only message_box() and post_message() may be called from
// other threads. It includes no operating-system header and assumes no particular screen.
#pragma once

#include <cstdint>

namespace ui {

struct window;
using window_handle = window*;
struct paint_context;
using hdc = paint_context*;
struct font;
using hfont = font*;
struct instance;
using instance_handle = instance*;
struct menu;
using menu_handle = menu*;

using wparam = uintptr_t;
using lparam = intptr_t;
using lresult = intptr_t;
using colorref = uint32_t;  // 0x00BBGGRR

constexpr colorref rgb(uint32_t r, uint32_t g, uint32_t b) {
    return r | (g << 8) | (b << 16);
}

// Message numbers.
constexpr uint32_t wm_destroy = 2;
constexpr uint32_t wm_size = 5;
constexpr uint32_t wm_paint = 15;
constexpr uint32_t wm_close = 16;
constexpr uint32_t wm_quit = 18;
constexpr uint32_t wm_keydown = 256;
constexpr uint32_t wm_keyup = 257;
constexpr uint32_t wm_char = 258;
constexpr uint32_t wm_syskeydown = 260;
constexpr uint32_t wm_initdialog = 272;
constexpr uint32_t wm_command = 273;
constexpr uint32_t wm_syscommand = 274;
constexpr uint32_t wm_timer = 275;

// wm_syscommand: open the menu bar (lparam: the mnemonic letter of a pop-up, or 0 for the first).
constexpr wparam sc_keymenu = 0xF100;

// Class styles, window style, show commands.
constexpr uint32_t cs_vredraw = 1;
constexpr uint32_t cs_hredraw = 2;
constexpr uint32_t ws_overlappedwindow = 0x00CF0000;
constexpr int cw_usedefault = static_cast<int>(0x80000000u);
constexpr int sw_shownormal = 1;
constexpr int sw_hide = 0;

// Menu item states for enable_menu_item.
constexpr uint32_t mf_enabled = 0;
constexpr uint32_t mf_grayed = 1;
constexpr uint32_t mf_disabled = 2;
constexpr uint32_t mf_bycommand = 0;

// Message boxes and dialog results.
constexpr uint32_t mb_ok = 0;
constexpr int id_ok = 1;
constexpr int id_cancel = 2;

// Font request values the program uses.
constexpr int oem_charset = 255;
constexpr int fixed_pitch = 1;
constexpr int ff_modern = 48;

using wndproc = lresult (*)(window_handle, uint32_t msg, wparam, lparam);
using dlgproc = intptr_t (*)(window_handle, uint32_t msg, wparam, lparam);

struct wndclass {
    uint32_t style = 0;
    wndproc lpfnWndProc = nullptr;
    instance_handle hInstance = nullptr;
    const char* lpszIconName = nullptr;  // resource name of the class icon
    bool white_background = true;        // erase to the white stock brush
    const char* lpszMenuName = nullptr;  // resource name of the class menu
    const char* lpszClassName = nullptr;
};

struct msg {
    window_handle hwnd = nullptr;
    uint32_t message = 0;
    wparam wParam = 0;
    lparam lParam = 0;
};

struct paintstruct {
    hdc dc = nullptr;
    bool erase = false;
};

// ---- Classes and windows -------------------------------------------------------------------------
// Returns a nonzero class atom, 0 on failure.
uint16_t register_class(const wndclass* wc);
window_handle create_window(uint32_t ex_style, const char* class_name, const char* title, uint32_t style,
                            int x, int y, int width, int height, window_handle parent, instance_handle inst);
bool show_window(window_handle w, int cmd);
// Paints at once when part of the window is invalid (sends wm_paint).
bool update_window(window_handle w);
// Sends wm_destroy, kills the window's timers and forgets the window.
bool destroy_window(window_handle w);
bool set_window_text(window_handle w, const char* text);
// Copies the title into buf (always terminated); returns its length.
int get_window_text(window_handle w, char* buf, int size);
lresult def_window_proc(window_handle w, uint32_t msg, wparam wp, lparam lp);

// ---- Menu ----------------------------------------------------------------------------------------
menu_handle get_menu(window_handle w);
// Returns the previous state of the item (mf_* bits), or -1 when no item has that command id.
int enable_menu_item(menu_handle m, uint32_t id, uint32_t flags);
// The current state of an item, or -1 when it does not exist.
int get_menu_state(menu_handle m, uint32_t id, uint32_t flags);

// ---- Timers --------------------------------------------------------------------------------------
// Timers run on the kernel layer's clock. Returns the id, or 0 when no timer could be made.
// Setting an existing id again restarts it with the new period. Each expiry arrives as one wm_timer
// with the id in wparam; expiries missed while the thread was busy are merged into one.
uintptr_t set_timer(window_handle w, uintptr_t id, uint32_t elapse_ms);
bool kill_timer(window_handle w, uintptr_t id);

// ---- Painting ------------------------------------------------------------------------------------
// Marks the whole client area for repainting; wm_paint follows when the queue is empty.
bool invalidate_rect(window_handle w, bool erase);
bool validate_rect(window_handle w);
hdc begin_paint(window_handle w, paintstruct* ps);
bool end_paint(window_handle w, const paintstruct* ps);
// Draws len characters of text (no terminator needed) with its top left corner at pixel (x, y),
// opaquely on the white background, in the context's text colour and font.
bool text_out(hdc dc, int x, int y, const char* text, int len);
colorref get_text_color(hdc dc);
colorref set_text_color(hdc dc, colorref c);
hfont create_font(int height, int width, int escapement, int orientation, int weight, uint32_t italic,
                  uint32_t underline, uint32_t strike_out, uint32_t charset, uint32_t out_precision,
                  uint32_t clip_precision, uint32_t quality, uint32_t pitch_and_family, const char* face);
// Selects a font into the context and returns the one selected before.
hfont select_font(hdc dc, hfont f);
// False when the font is still selected into a live paint context: it is not freed then.
bool delete_font(hfont f);

// ---- Dialogs and message boxes ---------------------------------------------------------------------
// Runs the dialog of the named template as a modal dialog owned by `owner` until the procedure ends
// it; returns the value given to end_dialog, or -1 when the template does not exist. Messages for
// other windows go on being dispatched meanwhile.
intptr_t dialog_box_param(instance_handle inst, const char* template_name, window_handle owner, dlgproc proc,
                          lparam init);
bool end_dialog(window_handle dlg, intptr_t result);
bool set_dlg_item_text(window_handle dlg, int id, const char* text);
int get_dlg_item_text(window_handle dlg, int id, char* buf, int size);
// Reads the control's text as a decimal number (with an optional minus sign when is_signed);
// *translated tells whether the text was one. Values out of 32-bit range are not translated.
uint32_t get_dlg_item_int(window_handle dlg, int id, bool* translated, bool is_signed);

// Shows text with a caption and an OK button; returns when the operator has dismissed it.
// May be called from any thread; a call from another thread never waits for the window thread to
// become free in a way that could hold up the window thread.
int message_box(window_handle owner, const char* text, const char* caption, uint32_t type);

// Replaces the back end that shows message boxes (tests record them); nullptr restores it.
using message_box_fn = int (*)(window_handle owner, const char* text, const char* caption, uint32_t type);
message_box_fn set_message_box_handler(message_box_fn fn);

// ---- Message loop --------------------------------------------------------------------------------
// Waits for the next message of the thread; false when it is wm_quit.
bool get_message(msg* m, window_handle w, uint32_t filter_min, uint32_t filter_max);
bool translate_message(const msg* m);
lresult dispatch_message(const msg* m);
void post_quit_message(int exit_code);
// Queues a message for the window; any thread may call it.
bool post_message(window_handle w, uint32_t msg, wparam wp, lparam lp);
// Calls the window procedure at once; window thread only.
lresult send_message(window_handle w, uint32_t msg, wparam wp, lparam lp);

inline uint16_t loword(uintptr_t v) {
    return static_cast<uint16_t>(v & 0xFFFF);
}

}  // namespace ui
