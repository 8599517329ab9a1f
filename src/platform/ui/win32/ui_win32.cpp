// ui.h on the Windows user interface. The program's message numbers, styles, flags and ids are the
// system's own, so calls pass straight through; only the procedures go through small trampolines,
// as the program's procedure types are not the system's.
#include "platform/kernel/kernel.h"
#include "platform/ui/win32/win32_ui.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace ui {

static_assert(wm_paint == WM_PAINT && wm_command == WM_COMMAND && wm_timer == WM_TIMER &&
              wm_initdialog == WM_INITDIALOG && wm_close == WM_CLOSE && wm_destroy == WM_DESTROY);
static_assert(ws_overlappedwindow == WS_OVERLAPPEDWINDOW && cs_hredraw == CS_HREDRAW &&
              cs_vredraw == CS_VREDRAW);
static_assert(mf_grayed == MF_GRAYED && mf_disabled == MF_DISABLED && mf_enabled == MF_ENABLED);
static_assert(oem_charset == OEM_CHARSET && fixed_pitch == FIXED_PITCH && ff_modern == FF_MODERN);
static_assert(id_ok == IDOK && id_cancel == IDCANCEL && mb_ok == MB_OK);

namespace {

HWND hw(window_handle w) {
    return reinterpret_cast<HWND>(w);
}
window_handle uw(HWND h) {
    return reinterpret_cast<window_handle>(h);
}
HDC hd(hdc d) {
    return reinterpret_cast<HDC>(d);
}

// A box a worker asks for, shown by the window thread.
struct shown_box {
    std::string text, caption;
    uint32_t type;
    std::atomic<int> result{0};
};
// Posted to the owner: the window thread shows the box (lparam: a new shared_ptr<shown_box>).
const UINT show_box_message = RegisterWindowMessageA("zentrel.show_box");

// The window procedure of the one registered class (the program registers exactly one).
std::atomic<wndproc> class_proc{nullptr};

LRESULT CALLBACK window_trampoline(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == show_box_message && lp) {
        std::unique_ptr<std::shared_ptr<shown_box>> s(reinterpret_cast<std::shared_ptr<shown_box>*>(lp));
        int r = MessageBoxA(h, (*s)->text.c_str(), (*s)->caption.c_str(), (*s)->type);
        (*s)->result.store(r ? r : IDOK);
        return 0;
    }
    wndproc p = class_proc.load(std::memory_order_relaxed);
    return p ? p(uw(h), m, wp, lp) : DefWindowProcA(h, m, wp, lp);
}

// A dialog's procedure travels in the creation parameter and then lives in the dialog's user data.
struct dialog_ctx {
    dlgproc proc;
    lparam init;
};

INT_PTR CALLBACK dialog_trampoline(HWND h, UINT m, WPARAM wp, LPARAM lp) {
    if (m == WM_INITDIALOG) {
        auto* ctx = reinterpret_cast<dialog_ctx*>(lp);
        SetWindowLongPtrA(h, DWLP_USER, lp);
        return ctx->proc(uw(h), m, wp, ctx->init);
    }
    auto* ctx = reinterpret_cast<dialog_ctx*>(GetWindowLongPtrA(h, DWLP_USER));
    return ctx ? ctx->proc(uw(h), m, wp, lp) : FALSE;
}

// Paints in progress (the window thread's only) and what the last one drew.
std::map<HDC, PAINTSTRUCT> open_paints;
std::mutex drawn_m;
std::vector<win32::drawn_text> drawing, drawn;
int paint_count = 0;

int system_box(window_handle owner, const char* text, const char* caption, uint32_t type);
std::atomic<message_box_fn> box_handler{system_box};

int system_box(window_handle owner, const char* text, const char* caption, uint32_t type) {
    HWND o = hw(owner);
    if (o && GetWindowThreadProcessId(o, nullptr) == GetCurrentThreadId())
        return MessageBoxA(o, text, caption, type);
    // From another thread: the window thread shows it, owned by the window, so that it stays above
    // the window and the boxes stack in order instead of one hiding another; this thread waits at a
    // termination point. Without a window, on a thread of its own.
    auto s = std::make_shared<shown_box>();
    s->text = text ? text : "";
    s->caption = caption ? caption : "";
    s->type = type;
    auto* posted = new std::shared_ptr<shown_box>(s);
    if (!o || !IsWindow(o) || !PostMessageA(o, show_box_message, 0, reinterpret_cast<LPARAM>(posted))) {
        delete posted;
        std::thread([s] {
            int r = MessageBoxA(nullptr, s->text.c_str(), s->caption.c_str(), s->type | MB_SETFOREGROUND);
            s->result.store(r ? r : IDOK);
        }).detach();
    }
    while (s->result.load() == 0) kern::sleep(20);
    return s->result.load();
}

}  // namespace

// ---- Classes and windows -------------------------------------------------------------------------

uint16_t register_class(const wndclass* wc) {
    HINSTANCE inst = wc->hInstance ? reinterpret_cast<HINSTANCE>(wc->hInstance) : GetModuleHandleA(nullptr);
    WNDCLASSA c{};
    c.style = wc->style;
    c.lpfnWndProc = window_trampoline;
    c.hInstance = inst;
    c.hIcon = wc->lpszIconName ? LoadIconA(inst, wc->lpszIconName) : nullptr;
    c.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    c.hbrBackground = wc->white_background ? static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)) : nullptr;
    c.lpszMenuName = wc->lpszMenuName;
    c.lpszClassName = wc->lpszClassName;
    class_proc.store(wc->lpfnWndProc);
    return RegisterClassA(&c);
}

window_handle create_window(uint32_t ex_style, const char* class_name, const char* title, uint32_t style,
                            int x, int y, int width, int height, window_handle parent, instance_handle inst) {
    HINSTANCE h = inst ? reinterpret_cast<HINSTANCE>(inst) : GetModuleHandleA(nullptr);
    return uw(CreateWindowExA(ex_style, class_name, title, style, x, y, width, height, hw(parent), nullptr, h,
                              nullptr));
}

bool show_window(window_handle w, int cmd) {
    return ShowWindow(hw(w), cmd);
}
bool update_window(window_handle w) {
    return UpdateWindow(hw(w));
}
bool destroy_window(window_handle w) {
    return DestroyWindow(hw(w));
}
bool set_window_text(window_handle w, const char* text) {
    return SetWindowTextA(hw(w), text);
}
int get_window_text(window_handle w, char* buf, int size) {
    return GetWindowTextA(hw(w), buf, size);
}
lresult def_window_proc(window_handle w, uint32_t msg, wparam wp, lparam lp) {
    return DefWindowProcA(hw(w), msg, wp, lp);
}

// ---- Menu ----------------------------------------------------------------------------------------

menu_handle get_menu(window_handle w) {
    return reinterpret_cast<menu_handle>(GetMenu(hw(w)));
}
int enable_menu_item(menu_handle m, uint32_t id, uint32_t flags) {
    return EnableMenuItem(reinterpret_cast<HMENU>(m), id, MF_BYCOMMAND | flags);
}
int get_menu_state(menu_handle m, uint32_t id, uint32_t flags) {
    return static_cast<int>(GetMenuState(reinterpret_cast<HMENU>(m), id, flags));
}

// ---- Timers --------------------------------------------------------------------------------------

uintptr_t set_timer(window_handle w, uintptr_t id, uint32_t elapse_ms) {
    // On the kernel layer's clock: tests may run it faster than real time.
    double real = elapse_ms / kern::clock_scale();
    UINT ms = real < 1 ? 1 : (real > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<UINT>(real));
    return SetTimer(hw(w), id, ms, nullptr);
}
bool kill_timer(window_handle w, uintptr_t id) {
    return KillTimer(hw(w), id);
}

// ---- Painting ------------------------------------------------------------------------------------

bool invalidate_rect(window_handle w, bool erase) {
    return InvalidateRect(hw(w), nullptr, erase);
}
bool validate_rect(window_handle w) {
    return ValidateRect(hw(w), nullptr);
}

hdc begin_paint(window_handle w, paintstruct* ps) {
    PAINTSTRUCT p{};
    HDC dc = BeginPaint(hw(w), &p);
    if (!dc) return nullptr;
    open_paints[dc] = p;
    ps->dc = reinterpret_cast<hdc>(dc);
    ps->erase = p.fErase;
    std::lock_guard lk(drawn_m);
    drawing.clear();
    return ps->dc;
}

bool end_paint(window_handle w, const paintstruct* ps) {
    auto it = open_paints.find(hd(ps->dc));
    if (it == open_paints.end()) return false;
    EndPaint(hw(w), &it->second);
    open_paints.erase(it);
    std::lock_guard lk(drawn_m);
    drawn.swap(drawing);
    drawing.clear();
    paint_count++;
    return true;
}

bool text_out(hdc dc, int x, int y, const char* text, int len) {
    {
        std::lock_guard lk(drawn_m);
        drawing.push_back({x, y, std::string(text, static_cast<size_t>(len)), GetTextColor(hd(dc))});
    }
    return TextOutA(hd(dc), x, y, text, len);
}
colorref get_text_color(hdc dc) {
    return GetTextColor(hd(dc));
}
colorref set_text_color(hdc dc, colorref c) {
    return SetTextColor(hd(dc), c);
}
hfont create_font(int height, int width, int escapement, int orientation, int weight, uint32_t italic,
                  uint32_t underline, uint32_t strike_out, uint32_t charset, uint32_t out_precision,
                  uint32_t clip_precision, uint32_t quality, uint32_t pitch_and_family, const char* face) {
    return reinterpret_cast<hfont>(CreateFontA(height, width, escapement, orientation, weight, italic,
                                               underline, strike_out, charset, out_precision, clip_precision,
                                               quality, pitch_and_family, face));
}
hfont select_font(hdc dc, hfont f) {
    return reinterpret_cast<hfont>(SelectObject(hd(dc), reinterpret_cast<HGDIOBJ>(f)));
}
bool delete_font(hfont f) {
    return DeleteObject(reinterpret_cast<HGDIOBJ>(f));
}

// ---- Dialogs and message boxes -------------------------------------------------------------------

intptr_t dialog_box_param(instance_handle inst, const char* template_name, window_handle owner, dlgproc proc,
                          lparam init) {
    HINSTANCE h = inst ? reinterpret_cast<HINSTANCE>(inst) : GetModuleHandleA(nullptr);
    dialog_ctx ctx{proc, init};
    return DialogBoxParamA(h, template_name, hw(owner), dialog_trampoline, reinterpret_cast<LPARAM>(&ctx));
}
bool end_dialog(window_handle dlg, intptr_t result) {
    return EndDialog(hw(dlg), result);
}
bool set_dlg_item_text(window_handle dlg, int id, const char* text) {
    return SetDlgItemTextA(hw(dlg), id, text);
}
int get_dlg_item_text(window_handle dlg, int id, char* buf, int size) {
    return static_cast<int>(GetDlgItemTextA(hw(dlg), id, buf, size));
}
uint32_t get_dlg_item_int(window_handle dlg, int id, bool* translated, bool is_signed) {
    BOOL ok = FALSE;
    UINT v = GetDlgItemInt(hw(dlg), id, &ok, is_signed);
    if (translated) *translated = ok != FALSE;
    return v;
}

int message_box(window_handle owner, const char* text, const char* caption, uint32_t type) {
    return box_handler.load()(owner, text, caption, type);
}
message_box_fn set_message_box_handler(message_box_fn fn) {
    return box_handler.exchange(fn ? fn : system_box);
}

// ---- Message loop --------------------------------------------------------------------------------

bool get_message(msg* m, window_handle w, uint32_t filter_min, uint32_t filter_max) {
    MSG s{};
    BOOL r = GetMessageA(&s, hw(w), filter_min, filter_max);
    m->hwnd = uw(s.hwnd);
    m->message = s.message;
    m->wParam = s.wParam;
    m->lParam = s.lParam;
    return r > 0;
}

namespace {
MSG system_msg(const msg* m) {
    MSG s{};
    s.hwnd = hw(m->hwnd);
    s.message = m->message;
    s.wParam = m->wParam;
    s.lParam = m->lParam;
    s.time = GetMessageTime();
    DWORD pos = GetMessagePos();
    s.pt.x = static_cast<short>(LOWORD(pos));
    s.pt.y = static_cast<short>(HIWORD(pos));
    return s;
}
}  // namespace

bool translate_message(const msg* m) {
    MSG s = system_msg(m);
    return TranslateMessage(&s);
}
lresult dispatch_message(const msg* m) {
    MSG s = system_msg(m);
    return DispatchMessageA(&s);
}
void post_quit_message(int exit_code) {
    PostQuitMessage(exit_code);
}
bool post_message(window_handle w, uint32_t msg, wparam wp, lparam lp) {
    return PostMessageA(hw(w), msg, wp, lp);
}
lresult send_message(window_handle w, uint32_t msg, wparam wp, lparam lp) {
    return SendMessageA(hw(w), msg, wp, lp);
}

// ---- For tests -----------------------------------------------------------------------------------

std::vector<win32::drawn_text> win32::last_paint() {
    std::lock_guard lk(drawn_m);
    return drawn;
}
int win32::paints() {
    std::lock_guard lk(drawn_m);
    return paint_count;
}

}  // namespace ui
