// The headless user interface: the window, its menu, timers, painting, dialogs and message boxes
// as an in-memory model. Presenting back ends (the terminal) hook into it; see headless.h.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/ui/headless/headless.h"
#include "platform/ui/ui.h"
#include "res/resources.h"

namespace ui {

struct menu {
    const res::menu_template* tpl = nullptr;
    std::map<uint32_t, uint32_t> state;
};

struct window {
    bool dialog = false;
    wndproc proc = nullptr;
    std::string title;
    bool shown = false;
    bool alive = true;
    bool invalid = false;
    bool erase = false;
    menu bar;
    // Dialogs only.
    const res::dialog_template* tpl = nullptr;
    dlgproc dproc = nullptr;
    std::vector<headless::control_state> controls;
    bool ended = false;
    intptr_t result = 0;
};

struct font {
    int height = 0, width = 0;
    std::string face;
    paint_context* selected_in = nullptr;
    bool stock = false;
};

struct paint_context {
    window* w = nullptr;
    colorref color = headless::black;
    font* current = nullptr;
    bool active = false;
};

namespace {

struct class_entry {
    std::string name;
    wndclass wc;
};

struct timer_entry {
    window* w;
    uintptr_t id;
    uint32_t period;
    uint32_t due;
};

struct model {
    std::vector<class_entry> classes;
    std::vector<std::unique_ptr<window>> windows;
    window* main = nullptr;
    std::vector<timer_entry> timers;
    std::vector<std::pair<uint32_t, uint32_t>> menu_calls;
    std::vector<headless::draw_record> draws;
    int paints = 0;
    char grid[headless::grid_rows][headless::grid_cols];
    colorref colors[headless::grid_rows][headless::grid_cols];
    paint_context dc;
    font system_font;
    int live_fonts = 0;
    int refused_deletes = 0;
    std::deque<std::vector<headless::dialog_step>> dialog_script;
    std::vector<headless::dialog_record> dialog_log;
    std::deque<uint32_t> box_holds;
    bool quit = false;
    int exit_code = 0;
    headless::backend hooks;
};

model& md() {
    static model m;
    return m;
}

// Shared with other threads: the posted-message queue, the box log and the wake-up event.
std::mutex queue_m;
std::deque<msg> queue;
std::vector<headless::box_record> box_log;
std::atomic<bool> box_echo{true};
kern::event_handle wake = nullptr;

kern::event_handle wake_event() {
    std::lock_guard lk(queue_m);
    if (!wake) wake = kern::create_event(false, false);
    return wake;
}

void clear_grid_cells() {
    model& m = md();
    std::memset(m.grid, ' ', sizeof m.grid);
    for (auto& r : m.colors)
        for (auto& c : r) c = headless::black;
}

void present(window* w) {
    if (md().hooks.present) md().hooks.present(w);
}

int default_box(window_handle owner, const char* text, const char* caption, uint32_t);

std::atomic<uint32_t> window_thread_id{0};
// A thread message that carries a function to run on the window thread.
constexpr uint32_t task_message = 0x7FF0;
std::atomic<message_box_fn> box_handler{default_box};
// The one hook other threads call: kept apart so the window thread may change the others meanwhile.
std::atomic<int (*)(window_handle, const char*, const char*)> thread_box_hook{nullptr};

int default_box(window_handle owner, const char* text, const char* caption, uint32_t) {
    // The model belongs to the window thread; other threads only log and hand the box on.
    bool on_window_thread = kern::current_thread_id() == window_thread_id.load();
    {
        std::lock_guard lk(queue_m);
        box_log.push_back({text ? text : "", caption ? caption : "", on_window_thread});
    }
    if (box_echo) {
        // The program ends lines with carriage returns, as its message boxes do; show them as lines.
        std::string s(text ? text : "");
        for (auto& c : s)
            if (c == '\r') c = '\n';
        if (s.empty() || s.back() != '\n') s += '\n';
        std::fprintf(stderr, "[%s] %s", caption ? caption : "", s.c_str());
    }
    if (!on_window_thread) {
        auto fn = thread_box_hook.load();
        return fn ? fn(owner, text, caption) : id_ok;
    }
    model& m = md();
    if (m.hooks.box) return m.hooks.box(owner, text, caption);
    if (!m.box_holds.empty()) {
        uint32_t hold = m.box_holds.front();
        m.box_holds.pop_front();
        headless::pump_for(hold);
    }
    return id_ok;
}

window* find_dialog_of(window_handle w) {
    return w && w->dialog ? w : nullptr;
}

headless::control_state* find_control(window_handle dlg, int id) {
    window* d = find_dialog_of(dlg);
    if (!d) return nullptr;
    for (auto& c : d->controls)
        if (c.tpl->id == id) return &c;
    return nullptr;
}

void default_wait(uint32_t clock_ms) {
    kern::wait_event(wake_event(), clock_ms);
}

}  // namespace

// ---- Classes and windows -------------------------------------------------------------------------

uint16_t register_class(const wndclass* wc) {
    model& m = md();
    if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) return 0;
    for (auto& c : m.classes)
        if (res::same_name(c.name.c_str(), wc->lpszClassName)) return 0;
    m.classes.push_back({wc->lpszClassName, *wc});
    return static_cast<uint16_t>(0xC000 + m.classes.size());
}

window_handle create_window(uint32_t, const char* class_name, const char* title, uint32_t, int, int, int, int,
                            window_handle, instance_handle) {
    model& m = md();
    const wndclass* wc = nullptr;
    for (auto& c : m.classes)
        if (res::same_name(c.name.c_str(), class_name)) wc = &c.wc;
    if (!wc) return nullptr;
    auto w = std::make_unique<window>();
    w->proc = wc->lpfnWndProc;
    w->title = title ? title : "";
    if (wc->lpszMenuName) {
        w->bar.tpl = res::find_menu(wc->lpszMenuName);
        if (w->bar.tpl)
            for (int i = 0; i < w->bar.tpl->count; i++)
                if (w->bar.tpl->items[i].kind == res::item_kind::command)
                    w->bar.state[w->bar.tpl->items[i].id] = 0;
    }
    window* raw = w.get();
    m.windows.push_back(std::move(w));
    if (!m.main) m.main = raw;
    window_thread_id = kern::current_thread_id();
    clear_grid_cells();
    if (m.hooks.created && raw == m.main) m.hooks.created(raw);
    return raw;
}

bool show_window(window_handle w, int cmd) {
    if (!w || !w->alive) return false;
    bool was = w->shown;
    w->shown = cmd != sw_hide;
    if (w->shown) w->invalid = true;
    present(w);
    return was;
}

bool update_window(window_handle w) {
    if (!w || !w->alive) return false;
    if (w->invalid && w->shown) send_message(w, wm_paint, 0, 0);
    return true;
}

bool destroy_window(window_handle w) {
    model& m = md();
    if (!w || !w->alive) return false;
    send_message(w, wm_destroy, 0, 0);
    w->alive = false;
    w->shown = false;
    std::erase_if(m.timers, [w](const timer_entry& t) { return t.w == w; });
    present(w);
    return true;
}

bool set_window_text(window_handle w, const char* text) {
    if (!w || !w->alive) return false;
    w->title = text ? text : "";
    present(w);
    return true;
}

int get_window_text(window_handle w, char* buf, int size) {
    if (!w || !buf || size <= 0) return 0;
    int n = std::snprintf(buf, static_cast<size_t>(size), "%s", w->title.c_str());
    return n < size ? n : size - 1;
}

lresult def_window_proc(window_handle w, uint32_t message, wparam wp, lparam lp) {
    model& m = md();
    switch (message) {
        case wm_close:
            destroy_window(w);
            return 0;
        case wm_paint: {
            // A window procedure that does not paint still has its area validated.
            paintstruct ps;
            begin_paint(w, &ps);
            end_paint(w, &ps);
            return 0;
        }
        case wm_syscommand:
            if ((wp & 0xFFF0) == sc_keymenu && m.hooks.menu_loop) m.hooks.menu_loop(w, static_cast<int>(lp));
            return 0;
        case wm_syskeydown:
            // F10 or Alt with a letter: the menu bar, as the system does.
            if (m.hooks.menu_loop) m.hooks.menu_loop(w, static_cast<int>(lp));
            return 0;
        default:
            (void)wp;
            return 0;
    }
}

// ---- Menu ----------------------------------------------------------------------------------------

menu_handle get_menu(window_handle w) {
    return w && w->bar.tpl ? &w->bar : nullptr;
}

int enable_menu_item(menu_handle mh, uint32_t id, uint32_t flags) {
    if (!mh) return -1;
    auto it = mh->state.find(id);
    if (it == mh->state.end()) return -1;
    int prev = static_cast<int>(it->second);
    it->second = flags & (mf_grayed | mf_disabled);
    md().menu_calls.push_back({id, flags});
    if (md().main) present(md().main);
    return prev;
}

int get_menu_state(menu_handle mh, uint32_t id, uint32_t) {
    if (!mh) return -1;
    auto it = mh->state.find(id);
    return it == mh->state.end() ? -1 : static_cast<int>(it->second);
}

// ---- Timers --------------------------------------------------------------------------------------

uintptr_t set_timer(window_handle w, uintptr_t id, uint32_t elapse_ms) {
    model& m = md();
    if (!w || !w->alive || id == 0) return 0;
    if (elapse_ms == 0) elapse_ms = 1;
    // Longer periods would not compare as intervals on the 32-bit clock.
    if (elapse_ms > 0x7FFFFFFFu) elapse_ms = 0x7FFFFFFFu;
    uint32_t due = kern::tick_count() + elapse_ms;
    for (auto& t : m.timers)
        if (t.w == w && t.id == id) {
            t.period = elapse_ms;
            t.due = due;
            return id;
        }
    m.timers.push_back({w, id, elapse_ms, due});
    return id;
}

bool kill_timer(window_handle w, uintptr_t id) {
    return std::erase_if(md().timers, [&](const timer_entry& t) { return t.w == w && t.id == id; }) > 0;
}

// ---- Painting ------------------------------------------------------------------------------------

bool invalidate_rect(window_handle w, bool erase) {
    if (!w || !w->alive) return false;
    w->invalid = true;
    w->erase = w->erase || erase;
    return true;
}

bool validate_rect(window_handle w) {
    if (!w) return false;
    w->invalid = false;
    return true;
}

hdc begin_paint(window_handle w, paintstruct* ps) {
    model& m = md();
    if (!w || !ps || m.dc.active) return nullptr;
    m.system_font.stock = true;
    m.dc = paint_context{w, headless::black, &m.system_font, true};
    m.system_font.selected_in = &m.dc;
    ps->dc = &m.dc;
    ps->erase = w->erase;
    if (w->erase && w == m.main) clear_grid_cells();
    w->erase = false;
    w->invalid = false;
    m.draws.clear();
    return &m.dc;
}

bool end_paint(window_handle w, const paintstruct* ps) {
    model& m = md();
    if (!ps || ps->dc != &m.dc || !m.dc.active) return false;
    m.dc.active = false;
    if (m.dc.current) m.dc.current->selected_in = nullptr;
    m.dc.current = nullptr;
    m.paints++;
    present(w);
    return true;
}

bool text_out(hdc dc, int x, int y, const char* text, int len) {
    model& m = md();
    if (!dc || !dc->active || !text || len < 0) return false;
    m.draws.push_back({x, y, std::string(text, static_cast<size_t>(len)), dc->color});
    if (dc->w != m.main) return true;
    int r = y / 20;
    if (y < 0 || r >= headless::grid_rows) return true;
    for (int i = 0; i < len; i++) {
        int c = x / 10 + i;
        if (c < 0) continue;
        if (c >= headless::grid_cols) break;
        m.grid[r][c] = text[i];
        m.colors[r][c] = dc->color;
    }
    return true;
}

colorref get_text_color(hdc dc) {
    return dc ? dc->color : 0;
}

colorref set_text_color(hdc dc, colorref c) {
    if (!dc) return 0xFFFFFFFFu;
    colorref prev = dc->color;
    dc->color = c;
    return prev;
}

hfont create_font(int height, int width, int, int, int, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                  uint32_t, uint32_t, uint32_t, const char* face) {
    font* f = new font;
    f->height = height;
    f->width = width;
    f->face = face ? face : "";
    md().live_fonts++;
    return f;
}

hfont select_font(hdc dc, hfont f) {
    if (!dc || !dc->active || !f) return nullptr;
    font* prev = dc->current;
    if (prev) prev->selected_in = nullptr;
    dc->current = f;
    f->selected_in = dc;
    return prev;
}

bool delete_font(hfont f) {
    model& m = md();
    if (!f || f->stock) return false;
    if (f->selected_in && f->selected_in->active) {
        // As on the system this models: a font still selected into a paint context is not freed.
        m.refused_deletes++;
        return false;
    }
    delete f;
    m.live_fonts--;
    return true;
}

// ---- Dialogs -------------------------------------------------------------------------------------

intptr_t dialog_box_param(instance_handle, const char* template_name, window_handle, dlgproc proc,
                          lparam init) {
    model& m = md();
    const res::dialog_template* tpl = res::find_dialog(template_name);
    if (!tpl || !proc) return -1;
    window dlg;
    dlg.dialog = true;
    dlg.tpl = tpl;
    dlg.dproc = proc;
    dlg.title = tpl->caption;
    for (int i = 0; i < tpl->count; i++) {
        const res::control* c = &tpl->controls[i];
        dlg.controls.push_back({c, c->cls == res::control_class::edit ? "" : c->text});
    }
    headless::dialog_record rec;
    rec.name = template_name;
    rec.caption = tpl->caption;
    proc(&dlg, wm_initdialog, 0, init);
    for (auto& c : dlg.controls)
        if (c.tpl->cls == res::control_class::edit) {
            rec.initial_text = c.text;
            break;
        }
    auto send = [&](int id) {
        rec.commands_sent++;
        proc(&dlg, wm_command, static_cast<wparam>(id), 0);
        if (rec.commands_sent == 1) rec.first_command_ended = dlg.ended;
    };
    if (!dlg.ended) {
        if (!m.dialog_script.empty()) {
            auto steps = std::move(m.dialog_script.front());
            m.dialog_script.pop_front();
            for (auto& s : steps) {
                if (dlg.ended) break;
                if (s.hold_ms) headless::pump_for(s.hold_ms);
                if (s.text)
                    for (auto& c : dlg.controls)
                        if (c.tpl->cls == res::control_class::edit) {
                            c.text = s.text;
                            break;
                        }
                send(s.command);
            }
            if (!dlg.ended) send(id_cancel);
            if (!dlg.ended) send(id_ok);
        } else if (m.hooks.run_dialog) {
            m.hooks.run_dialog(&dlg);
        } else {
            send(id_ok);
            if (!dlg.ended) send(id_cancel);
        }
    }
    rec.result = dlg.result;
    m.dialog_log.push_back(rec);
    if (m.main) {
        m.main->invalid = true;  // the area the dialog covered is repainted
        present(m.main);
    }
    return dlg.result;
}

bool end_dialog(window_handle dlg, intptr_t result) {
    window* d = find_dialog_of(dlg);
    if (!d) return false;
    d->ended = true;
    d->result = result;
    return true;
}

bool set_dlg_item_text(window_handle dlg, int id, const char* text) {
    auto* c = find_control(dlg, id);
    if (!c) return false;
    c->text = text ? text : "";
    return true;
}

int get_dlg_item_text(window_handle dlg, int id, char* buf, int size) {
    auto* c = find_control(dlg, id);
    if (!c || !buf || size <= 0) return 0;
    int n = std::snprintf(buf, static_cast<size_t>(size), "%s", c->text.c_str());
    return n < size ? n : size - 1;
}

namespace headless {

uint32_t parse_dlg_int(const char* text, bool is_signed, bool* translated) {
    if (translated) *translated = false;
    // Leading and trailing blanks are allowed; anything else must be digits after one sign.
    const char* p = text;
    while (*p == ' ') p++;
    bool neg = false;
    if (is_signed && *p == '-') {
        neg = true;
        p++;
    }
    if (*p < '0' || *p > '9') return 0;
    int64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + (*p - '0');
        if (v > 0xFFFFFFFFll) return 0;
        p++;
    }
    while (*p == ' ') p++;
    if (*p) return 0;
    if (neg) v = -v;
    if (is_signed ? (v < INT32_MIN || v > INT32_MAX) : v > 0xFFFFFFFFll) return 0;
    if (translated) *translated = true;
    return static_cast<uint32_t>(static_cast<int64_t>(v));
}

}  // namespace headless

uint32_t get_dlg_item_int(window_handle dlg, int id, bool* translated, bool is_signed) {
    if (translated) *translated = false;
    auto* c = find_control(dlg, id);
    if (!c) return 0;
    return headless::parse_dlg_int(c->text.c_str(), is_signed, translated);
}

int message_box(window_handle owner, const char* text, const char* caption, uint32_t type) {
    return box_handler.load()(owner, text, caption, type);
}

message_box_fn set_message_box_handler(message_box_fn fn) {
    return box_handler.exchange(fn ? fn : default_box);
}

// ---- Message loop --------------------------------------------------------------------------------

bool get_message(msg* out, window_handle, uint32_t, uint32_t) {
    model& m = md();
    for (;;) {
        {
            std::lock_guard lk(queue_m);
            if (!queue.empty()) {
                *out = queue.front();
                queue.pop_front();
                return out->message != wm_quit;
            }
        }
        if (m.quit) {
            *out = msg{nullptr, wm_quit, static_cast<wparam>(m.exit_code), 0};
            return false;
        }
        for (auto& w : m.windows)
            if (w->alive && w->shown && w->invalid) {
                *out = msg{w.get(), wm_paint, 0, 0};
                return true;
            }
        uint32_t now = kern::tick_count();
        uint32_t wait = 100;
        for (auto& t : m.timers) {
            int32_t left = static_cast<int32_t>(t.due - now);
            if (left <= 0) {
                // Missed periods merge into this one expiry.
                t.due = now + t.period;
                *out = msg{t.w, wm_timer, t.id, 0};
                return true;
            }
            if (static_cast<uint32_t>(left) < wait) wait = static_cast<uint32_t>(left);
        }
        if (m.hooks.wait)
            m.hooks.wait(wait);
        else
            default_wait(wait);
    }
}

bool translate_message(const msg*) {
    return false;
}

lresult dispatch_message(const msg* m) {
    if (m && !m->hwnd && m->message == task_message && m->wParam) {
        reinterpret_cast<void (*)(void*)>(m->wParam)(reinterpret_cast<void*>(m->lParam));
        return 0;
    }
    if (!m || !m->hwnd || !m->hwnd->alive || !m->hwnd->proc) return 0;
    return m->hwnd->proc(m->hwnd, m->message, m->wParam, m->lParam);
}

void post_quit_message(int exit_code) {
    md().quit = true;
    md().exit_code = exit_code;
}

bool post_message(window_handle w, uint32_t message, wparam wp, lparam lp) {
    kern::event_handle e = wake_event();
    {
        std::lock_guard lk(queue_m);
        queue.push_back(msg{w, message, wp, lp});
    }
    kern::set_event(e);
    return true;
}

lresult send_message(window_handle w, uint32_t message, wparam wp, lparam lp) {
    if (!w || !w->alive || !w->proc) return 0;
    return w->proc(w, message, wp, lp);
}

// ---- The model's own interface -------------------------------------------------------------------
namespace headless {

void set_backend(const backend& b) {
    md().hooks = b;
    thread_box_hook = b.thread_box;
}
const backend& current_backend() {
    return md().hooks;
}

void reset() {
    model& m = md();
    m.classes.clear();
    m.windows.clear();
    m.main = nullptr;
    m.timers.clear();
    m.menu_calls.clear();
    m.draws.clear();
    m.paints = 0;
    m.dc = paint_context{};
    m.dialog_script.clear();
    m.dialog_log.clear();
    m.box_holds.clear();
    m.quit = false;
    m.exit_code = 0;
    m.refused_deletes = 0;
    clear_grid_cells();
    std::lock_guard lk(queue_m);
    queue.clear();
    box_log.clear();
}

bool modal_pump() {
    msg m;
    if (!get_message(&m, nullptr, 0, 0)) {
        md().quit = true;
        return false;
    }
    translate_message(&m);
    dispatch_message(&m);
    return true;
}

void pump_for(uint32_t clock_ms) {
    model& m = md();
    uint32_t end = kern::tick_count() + clock_ms;
    // A zero-period timer keeps the loop from waiting past the end of the hold.
    static window hold_window;
    hold_window.alive = true;
    const uintptr_t hold_id = 0x484F4C44;  // a private id, never one of the program's
    set_timer(&hold_window, hold_id, clock_ms);
    while (static_cast<int32_t>(end - kern::tick_count()) > 0 && !m.quit) {
        msg x;
        if (!get_message(&x, nullptr, 0, 0)) break;
        if (x.hwnd == &hold_window) continue;
        dispatch_message(&x);
    }
    kill_timer(&hold_window, hold_id);
}

void wait_queue(uint32_t clock_ms) {
    default_wait(clock_ms);
}

void post_task(void (*fn)(void*), void* arg) {
    post_message(nullptr, task_message, reinterpret_cast<wparam>(fn), reinterpret_cast<lparam>(arg));
}

void script_dialog(std::vector<dialog_step> steps) {
    md().dialog_script.push_back(std::move(steps));
}
void script_box_hold(uint32_t hold_ms) {
    md().box_holds.push_back(hold_ms);
}
void set_box_echo(bool on) {
    box_echo = on;
}

std::vector<box_record> boxes() {
    std::lock_guard lk(queue_m);
    return box_log;
}

std::vector<dialog_record> dialogs() {
    return md().dialog_log;
}
std::vector<draw_record> last_paint() {
    return md().draws;
}
int paints() {
    return md().paints;
}
window_handle main_window() {
    return md().main;
}
std::string title(window_handle w) {
    return w ? w->title : "";
}
bool visible(window_handle w) {
    return w && w->alive && w->shown;
}
bool alive(window_handle w) {
    return w && w->alive;
}
const res::menu_template* menu_of(window_handle w) {
    return w ? w->bar.tpl : nullptr;
}
std::vector<std::pair<uint32_t, uint32_t>> menu_calls() {
    return md().menu_calls;
}
void clear_menu_calls() {
    md().menu_calls.clear();
}

std::string row(int r) {
    if (r < 0 || r >= grid_rows) return "";
    return std::string(md().grid[r], grid_cols);
}

colorref cell_color(int r, int c) {
    if (r < 0 || r >= grid_rows || c < 0 || c >= grid_cols) return black;
    return md().colors[r][c];
}

void clear_grid() {
    clear_grid_cells();
}
int live_fonts() {
    return md().live_fonts;
}
int refused_font_deletes() {
    return md().refused_deletes;
}

bool timer_active(window_handle w, uintptr_t id) {
    for (auto& t : md().timers)
        if (t.w == w && t.id == id) return true;
    return false;
}

uint32_t timer_period(window_handle w, uintptr_t id) {
    for (auto& t : md().timers)
        if (t.w == w && t.id == id) return t.period;
    return 0;
}

int exit_code() {
    return md().exit_code;
}

const res::dialog_template* dialog_template_of(window_handle dlg) {
    return dlg && dlg->dialog ? dlg->tpl : nullptr;
}

std::vector<control_state> dialog_controls(window_handle dlg) {
    return dlg && dlg->dialog ? dlg->controls : std::vector<control_state>{};
}

bool dialog_ended(window_handle dlg) {
    return !dlg || !dlg->dialog || dlg->ended;
}

intptr_t dialog_command(window_handle dlg, int id) {
    if (!dlg || !dlg->dialog || !dlg->dproc) return 0;
    return dlg->dproc(dlg, wm_command, static_cast<wparam>(id), 0);
}

}  // namespace headless
}  // namespace ui
