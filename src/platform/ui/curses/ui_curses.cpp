// The terminal user interface: a presenter and input source for the headless window model.
#include <curses.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ui/curses/curses_ui.h"
#include "platform/ui/headless/headless.h"
#include "res/resources.h"

namespace ui::term {
namespace {

namespace hl = ui::headless;

// Input for modal loops travels as thread messages, so that the loops wake for it.
constexpr uint32_t term_key = 0x7FE0;    // wparam: key code, lparam: 1 with Alt
constexpr uint32_t term_mouse = 0x7FE1;  // wparam: column, lparam: line
constexpr int min_cols = 80, min_lines = 24;
constexpr int client_top = 2;  // title line, menu bar, then the client area

constexpr short pair_blue = 1;
constexpr short pair_bar = 2;
constexpr short pair_box = 3;

volatile sig_atomic_t* stop_flag = nullptr;
int modal_depth = 0;
std::string shown_title;
bool too_small = false;

// ---- Boxes from other threads -------------------------------------------------------------------

struct pending_box {
    std::string text, caption;
    bool done = false;
};
std::mutex boxes_m;
std::condition_variable boxes_cv;
std::deque<pending_box*> boxes_waiting;
bool closing = false;

// ---- Overlays (menus, dialogs, boxes) drawn over the window, innermost last ------------------------

struct overlay {
    virtual void draw() = 0;
    virtual ~overlay() = default;
};
std::vector<overlay*> overlays;

// ---- Drawing -------------------------------------------------------------------------------------

// One pop-up of the menu template: the items between an opening pop-up entry and its end.
struct popup_ref {
    const res::menu_item* items;  // first item inside
    int count;                    // items up to (not including) the matching end, nested ones included
    const char* caption;
};

std::vector<popup_ref> children(const res::menu_item* first, int count) {
    std::vector<popup_ref> out;
    for (int i = 0; i < count; i++) {
        if (first[i].kind != res::item_kind::popup) continue;
        int depth = 1, j = i + 1;
        while (j < count && depth > 0) {
            if (first[j].kind == res::item_kind::popup) depth++;
            if (first[j].kind == res::item_kind::end) depth--;
            j++;
        }
        out.push_back({first + i + 1, j - i - 2, first[i].caption});
        i = j - 1;
    }
    return out;
}

// The direct entries of a pop-up (commands, separators, nested pop-ups), skipping nested contents.
struct entry {
    const res::menu_item* item;
    popup_ref sub;  // for nested pop-ups
};

std::vector<entry> entries(const popup_ref& p) {
    std::vector<entry> out;
    for (int i = 0; i < p.count; i++) {
        const res::menu_item& it = p.items[i];
        if (it.kind == res::item_kind::popup) {
            int depth = 1, j = i + 1;
            while (j < p.count && depth > 0) {
                if (p.items[j].kind == res::item_kind::popup) depth++;
                if (p.items[j].kind == res::item_kind::end) depth--;
                j++;
            }
            out.push_back({&it, {p.items + i + 1, j - i - 2, it.caption}});
            i = j - 1;
        } else if (it.kind != res::item_kind::end) {
            out.push_back({&it, {}});
        }
    }
    return out;
}

std::string plain(const char* caption) {
    std::string s;
    for (const char* p = caption; p && *p; p++)
        if (*p != '&') s += *p;
    return s;
}

int mnemonic(const char* caption) {
    const char* a = caption ? std::strchr(caption, '&') : nullptr;
    return a && a[1] ? std::tolower(static_cast<unsigned char>(a[1])) : 0;
}

// Draws a caption with its mnemonic letter underlined.
void put_caption(int y, int x, const char* caption, attr_t attr) {
    move(y, x);
    bool mark = false;
    for (const char* p = caption; p && *p; p++) {
        if (*p == '&' && !mark) {
            mark = true;
            continue;
        }
        addch(static_cast<unsigned char>(*p) | attr | (mark ? A_UNDERLINE : 0));
        mark = false;
    }
}

std::vector<popup_ref> top_popups() {
    const res::menu_template* m = hl::menu_of(hl::main_window());
    if (!m) return {};
    return children(m->items, m->count);
}

// Column of each top-level pop-up on the menu bar.
std::vector<int> bar_columns() {
    std::vector<int> cols;
    int x = 1;
    for (auto& p : top_popups()) {
        cols.push_back(x);
        x += static_cast<int>(plain(p.caption).size()) + 2;
    }
    return cols;
}

void draw_frame(int y, int x, int h, int w, const std::string& caption) {
    attr_t a = COLOR_PAIR(pair_box);
    for (int r = 0; r < h; r++) mvhline(y + r, x, ' ' | a, w);
    mvaddch(y, x, ACS_ULCORNER | a);
    mvhline(y, x + 1, ACS_HLINE | a, w - 2);
    mvaddch(y, x + w - 1, ACS_URCORNER | a);
    mvaddch(y + h - 1, x, ACS_LLCORNER | a);
    mvhline(y + h - 1, x + 1, ACS_HLINE | a, w - 2);
    mvaddch(y + h - 1, x + w - 1, ACS_LRCORNER | a);
    mvvline(y + 1, x, ACS_VLINE | a, h - 2);
    mvvline(y + 1, x + w - 1, ACS_VLINE | a, h - 2);
    if (!caption.empty()) mvprintw(y, x + 2, " %s ", caption.c_str());
}

void draw_all() {
    window_handle w = hl::main_window();
    erase();
    if (LINES < min_lines || COLS < min_cols) {
        too_small = true;
        mvprintw(0, 0, "Zentrel needs a terminal of at least %d x %d characters (this one is %d x %d).",
                 min_cols, min_lines, COLS, LINES);
        refresh();
        return;
    }
    too_small = false;
    std::string t = hl::title(w);
    if (t != shown_title) {
        // The terminal's own title follows the window's.
        std::printf("\033]0;%s\007", t.c_str());
        std::fflush(stdout);
        shown_title = t;
    }
    attron(A_REVERSE);
    mvhline(0, 0, ' ', COLS);
    mvaddnstr(0, 1, t.c_str(), COLS - 2);
    attroff(A_REVERSE);
    attr_t bar = COLOR_PAIR(pair_bar);
    mvhline(1, 0, ' ' | bar, COLS);
    auto pops = top_popups();
    auto cols = bar_columns();
    for (size_t i = 0; i < pops.size(); i++) put_caption(1, cols[i], pops[i].caption, bar);
    for (int r = 0; r < hl::grid_rows && client_top + r < LINES; r++) {
        std::string row = hl::row(r);
        for (int c = 0; c < COLS && c < hl::grid_cols; c++) {
            attr_t a = hl::cell_color(r, c) == rgb(0, 0, 255) ? COLOR_PAIR(pair_blue) : A_NORMAL;
            mvaddch(client_top + r, c, static_cast<unsigned char>(row[static_cast<size_t>(c)]) | a);
        }
    }
    for (auto* o : overlays) o->draw();
    refresh();
}

void present(window_handle) {
    draw_all();
}

// ---- Input ---------------------------------------------------------------------------------------

void show_thread_boxes();

// Reads what the terminal has and turns it into messages.
void read_input() {
    window_handle w = hl::main_window();
    for (;;) {
        int ch = getch();
        if (ch == ERR) break;
        int alt = 0;
        if (ch == 27) {
            // Escape alone, or Alt with the next key.
            int next = getch();
            if (next != ERR) {
                ch = next;
                alt = 1;
            }
        }
        if (ch == KEY_RESIZE) {
            // As a resized window would: told its size, and repainted whole (the class redraws on size).
            post_message(w, wm_size, 0, static_cast<lparam>((LINES << 16) | COLS));
            invalidate_rect(w, true);
            draw_all();
            continue;
        }
        if (ch == KEY_MOUSE) {
            MEVENT ev;
            if (getmouse(&ev) != OK) continue;
            if (!(ev.bstate & (BUTTON1_CLICKED | BUTTON1_PRESSED | BUTTON1_RELEASED))) continue;
            if (modal_depth > 0) {
                post_message(nullptr, term_mouse, static_cast<wparam>(ev.x), ev.y);
            } else if (ev.y == 1 && !too_small) {
                auto cols = bar_columns();
                auto pops = top_popups();
                for (size_t i = 0; i < pops.size(); i++) {
                    int end = cols[i] + static_cast<int>(plain(pops[i].caption).size());
                    if (ev.x >= cols[i] && ev.x < end)
                        post_message(w, wm_syskeydown, 0, mnemonic(pops[i].caption));
                }
            }
            continue;
        }
        if (modal_depth > 0) {
            post_message(nullptr, term_key, static_cast<wparam>(ch), alt);
        } else if (too_small) {
            continue;
        } else if (ch == KEY_F(10)) {
            post_message(w, wm_syskeydown, 0, 0);
        } else if (alt && ch < 256 && std::isalpha(ch)) {
            post_message(w, wm_syskeydown, 0, std::tolower(ch));
        } else {
            post_message(w, wm_keydown, static_cast<wparam>(ch), 0);
            post_message(w, wm_keyup, static_cast<wparam>(ch), 0);
        }
    }
}

void term_wait(uint32_t clock_ms) {
    if (stop_flag && *stop_flag == 1) {
        *stop_flag = 2;
        // A signal ends the program as closing the window does.
        if (hl::alive(hl::main_window())) post_message(hl::main_window(), wm_close, 0, 0);
        return;
    }
    show_thread_boxes();
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int ms = clock_ms < 100 ? static_cast<int>(clock_ms) : 100;
    if (poll(&p, 1, ms) > 0) read_input();
}

// The next input for a modal loop; other messages are dispatched meanwhile. False when the
// program is ending.
bool next_input(msg* in) {
    for (;;) {
        msg m;
        if (!get_message(&m, nullptr, 0, 0)) {
            post_quit_message(hl::exit_code());
            return false;
        }
        if (!m.hwnd && (m.message == term_key || m.message == term_mouse)) {
            *in = m;
            return true;
        }
        dispatch_message(&m);
        if (!hl::alive(hl::main_window())) return false;
    }
}

// ---- Message boxes -------------------------------------------------------------------------------

struct box_overlay : overlay {
    std::vector<std::string> lines;
    std::string caption;
    int y = 0, x = 0, h = 0, w = 0;
    void layout() {
        int width = 20;
        for (auto& l : lines) width = std::max(width, static_cast<int>(l.size()) + 6);
        w = std::min(width, COLS - 2);
        h = static_cast<int>(lines.size()) + 4;
        y = std::max(client_top, (LINES - h) / 2);
        x = std::max(0, (COLS - w) / 2);
    }
    void draw() override {
        layout();
        draw_frame(y, x, h, w, caption);
        for (size_t i = 0; i < lines.size(); i++)
            mvaddnstr(y + 1 + static_cast<int>(i), x + 3, lines[i].c_str(), w - 6);
        attron(A_REVERSE);
        mvaddstr(y + h - 2, x + (w - 6) / 2, "[ OK ]");
        attroff(A_REVERSE);
    }
};

int show_box(const char* text, const char* caption) {
    box_overlay b;
    std::string cur;
    for (const char* p = text ? text : ""; *p; p++) {
        if (*p == '\r' || *p == '\n') {
            b.lines.push_back(cur);
            cur.clear();
        } else {
            cur += *p;
        }
    }
    if (!cur.empty() || b.lines.empty()) b.lines.push_back(cur);
    b.caption = caption ? caption : "";
    overlays.push_back(&b);
    modal_depth++;
    draw_all();
    msg in;
    while (next_input(&in)) {
        if (in.message == term_key) {
            int k = static_cast<int>(in.wParam);
            if (k == '\n' || k == '\r' || k == KEY_ENTER || k == 27 || k == ' ' || k == 'o' || k == 'O')
                break;
        } else {
            // A click on the button (or anywhere on its line) dismisses the box.
            if (static_cast<int>(in.lParam) == b.y + b.h - 2) break;
        }
    }
    modal_depth--;
    overlays.pop_back();
    draw_all();
    return id_ok;
}

int term_box(window_handle, const char* text, const char* caption) {
    return show_box(text, caption);
}

int term_thread_box(window_handle, const char* text, const char* caption) {
    pending_box b{text ? text : "", caption ? caption : "", false};
    std::unique_lock lk(boxes_m);
    if (closing) return id_ok;
    boxes_waiting.push_back(&b);
    lk.unlock();
    post_message(nullptr, 0, 0, 0);  // wakes the window thread's wait
    lk.lock();
    boxes_cv.wait(lk, [&] { return b.done; });
    return id_ok;
}

void show_thread_boxes() {
    static bool busy = false;  // one at a time; later ones wait their turn
    if (busy) return;
    busy = true;
    for (;;) {
        pending_box* b;
        {
            std::lock_guard lk(boxes_m);
            if (boxes_waiting.empty()) break;
            b = boxes_waiting.front();
        }
        show_box(b->text.c_str(), b->caption.c_str());
        {
            std::lock_guard lk(boxes_m);
            boxes_waiting.pop_front();
            b->done = true;
        }
        boxes_cv.notify_all();
    }
    busy = false;
}

// ---- Dialogs -------------------------------------------------------------------------------------

struct dialog_overlay : overlay {
    window_handle dlg;
    const res::dialog_template* tpl;
    int focus = 0;  // index into the template's controls
    int y = 0, x = 0;

    int cols(int du) const { return du / 4; }
    int rows(int du) const { return du / 8; }
    // Wide enough for every text: terminal cells are coarser than the proportional font's letters.
    int width() const {
        int w = cols(tpl->cx) + 2;
        for (int i = 0; i < tpl->count; i++) {
            const res::control& c = tpl->controls[i];
            if (c.cls == res::control_class::static_text)
                w = std::max(w, cols(c.x) + static_cast<int>(std::strlen(c.text)) + 4);
        }
        return std::min(w, COLS);
    }
    int height() const { return rows(tpl->cy) + 3; }
    void place() {
        y = std::min(client_top + rows(tpl->y) + 1, std::max(client_top, LINES - height()));
        x = std::min(cols(tpl->x) + 2, std::max(0, COLS - width()));
    }
    void ctl_pos(const res::control& c, int* cy, int* cx) const {
        *cy = y + 1 + rows(c.y);
        *cx = x + 1 + cols(c.x);
    }
    void draw() override {
        place();
        draw_frame(y, x, height(), width(), tpl->caption);
        auto ctls = hl::dialog_controls(dlg);
        attr_t a = COLOR_PAIR(pair_box);
        for (int i = 0; i < tpl->count; i++) {
            const res::control& c = tpl->controls[i];
            int cy, cx;
            ctl_pos(c, &cy, &cx);
            int w = std::max(4, cols(c.cx));
            const std::string& text = ctls[static_cast<size_t>(i)].text;
            switch (c.cls) {
                case res::control_class::edit: {
                    mvaddch(cy, cx - 1, '[' | a);
                    std::string shown =
                        text.size() > static_cast<size_t>(w) ? text.substr(text.size() - w) : text;
                    attr_t ea = (i == focus ? A_UNDERLINE | A_BOLD : A_UNDERLINE) | a;
                    mvhline(cy, cx, ' ' | ea, w);
                    mvaddstr(cy, cx, "");
                    for (char ch : shown) addch(static_cast<unsigned char>(ch) | ea);
                    mvaddch(cy, cx + w, ']' | a);
                    break;
                }
                case res::control_class::button: {
                    put_caption(cy, cx, ("< " + std::string(c.text) + " >").c_str(),
                                (i == focus ? A_REVERSE : 0) | a);
                    break;
                }
                case res::control_class::static_text:
                    mvaddnstr(cy, cx, c.text, std::max(1, COLS - cx - 1));
                    break;
                case res::control_class::static_icon:
                    mvaddstr(cy, cx, "(O)");
                    break;
            }
        }
        // The cursor sits in the edit field when it has the focus.
        const res::control& f = tpl->controls[focus];
        if (f.cls == res::control_class::edit) {
            int cy, cx;
            ctl_pos(f, &cy, &cx);
            int len = static_cast<int>(ctls[static_cast<size_t>(focus)].text.size());
            move(cy, cx + std::min(len, std::max(4, cols(f.cx)) - 1));
        }
    }
    bool tabstop(int i) const { return (tpl->controls[i].style & res::ws_tabstop) != 0; }
    void move_focus(int dir) {
        for (int n = 0; n < tpl->count; n++) {
            focus = (focus + dir + tpl->count) % tpl->count;
            if (tabstop(focus)) return;
        }
    }
};

void term_run_dialog(window_handle dlg) {
    dialog_overlay d;
    d.dlg = dlg;
    d.tpl = hl::dialog_template_of(dlg);
    if (!d.tpl) return;
    d.focus = 0;
    while (!d.tabstop(d.focus) && d.focus + 1 < d.tpl->count) d.focus++;
    overlays.push_back(&d);
    modal_depth++;
    curs_set(1);
    draw_all();
    msg in;
    while (!hl::dialog_ended(dlg) && next_input(&in)) {
        const res::control& f = d.tpl->controls[d.focus];
        if (in.message == term_mouse) {
            int mx = static_cast<int>(in.wParam), my = static_cast<int>(in.lParam);
            for (int i = 0; i < d.tpl->count; i++) {
                const res::control& c = d.tpl->controls[i];
                int cy, cx;
                d.ctl_pos(c, &cy, &cx);
                if (my == cy && mx >= cx - 1 && mx <= cx + std::max(4, d.cols(c.cx))) {
                    if (c.cls == res::control_class::button) hl::dialog_command(dlg, c.id);
                    if (c.cls == res::control_class::edit) d.focus = i;
                }
            }
        } else {
            int k = static_cast<int>(in.wParam);
            bool alt = in.lParam != 0;
            if (k == '\t' || k == KEY_DOWN) {
                d.move_focus(1);
            } else if (k == KEY_BTAB || k == KEY_UP) {
                d.move_focus(-1);
            } else if (k == '\n' || k == '\r' || k == KEY_ENTER) {
                // Enter presses the focused button, or OK from anywhere else.
                hl::dialog_command(dlg, f.cls == res::control_class::button ? f.id : id_ok);
            } else if (k == 27 && !alt) {
                hl::dialog_command(dlg, id_cancel);
            } else if (k == ' ' && f.cls == res::control_class::button) {
                hl::dialog_command(dlg, f.id);
            } else if (f.cls == res::control_class::edit && !alt) {
                char buf[256];
                get_dlg_item_text(dlg, f.id, buf, sizeof buf);
                std::string t = buf;
                if ((k == KEY_BACKSPACE || k == 127 || k == 8) && !t.empty())
                    t.pop_back();
                else if (k >= 32 && k < 127 && t.size() < 200)
                    t += static_cast<char>(k);
                set_dlg_item_text(dlg, f.id, t.c_str());
            } else if (k < 256 && std::isalpha(k)) {
                // A button's mnemonic.
                for (int i = 0; i < d.tpl->count; i++)
                    if (d.tpl->controls[i].cls == res::control_class::button &&
                        mnemonic(d.tpl->controls[i].text) == std::tolower(k))
                        hl::dialog_command(dlg, d.tpl->controls[i].id);
            }
        }
        draw_all();
    }
    curs_set(0);
    modal_depth--;
    overlays.pop_back();
    draw_all();
}

// ---- Menu ----------------------------------------------------------------------------------------

struct menu_overlay : overlay {
    std::vector<popup_ref> tops;
    int top = 0;
    std::vector<int> sel;  // selected entry per open level
    std::vector<popup_ref> levels;

    struct geometry {
        int y, x, w;
    };
    geometry geo(size_t level) const {
        auto cols = bar_columns();
        geometry g{client_top, cols[static_cast<size_t>(top)], 0};
        for (size_t l = 0; l <= level; l++) {
            int w = 4;
            for (auto& e : entries(levels[l]))
                if (e.item->caption) w = std::max(w, static_cast<int>(plain(e.item->caption).size()) + 6);
            if (l > 0) {
                g.x += g.w - 1;
                g.y += sel[l - 1];
            }
            g.w = w;
        }
        g.x = std::min(g.x, COLS - g.w);
        return g;
    }
    void draw() override {
        auto cols = bar_columns();
        put_caption(1, cols[static_cast<size_t>(top)], tops[static_cast<size_t>(top)].caption, A_REVERSE);
        window_handle w = hl::main_window();
        for (size_t l = 0; l < levels.size(); l++) {
            auto es = entries(levels[l]);
            geometry g = geo(l);
            draw_frame(g.y, g.x, static_cast<int>(es.size()) + 2, g.w, "");
            for (size_t i = 0; i < es.size(); i++) {
                int yy = g.y + 1 + static_cast<int>(i);
                const res::menu_item* it = es[i].item;
                attr_t a = COLOR_PAIR(pair_box);
                if (it->kind == res::item_kind::separator) {
                    mvhline(yy, g.x + 1, ACS_HLINE | a, g.w - 2);
                    continue;
                }
                bool gray = it->kind == res::item_kind::command && get_menu_state(get_menu(w), it->id, 0) > 0;
                if (gray) a |= A_DIM;
                if (static_cast<int>(i) == sel[l]) a |= A_REVERSE;
                mvhline(yy, g.x + 1, ' ' | a, g.w - 2);
                put_caption(yy, g.x + 2, it->caption, a);
                if (it->kind == res::item_kind::popup) mvaddch(yy, g.x + g.w - 3, '>' | a);
            }
        }
    }
    void open_top(int t) {
        top = (t + static_cast<int>(tops.size())) % static_cast<int>(tops.size());
        levels.assign(1, tops[static_cast<size_t>(top)]);
        sel.assign(1, 0);
    }
    void step(int dir) {
        auto es = entries(levels.back());
        int n = static_cast<int>(es.size());
        int& s = sel.back();
        for (int k = 0; k < n; k++) {
            s = (s + dir + n) % n;
            if (es[static_cast<size_t>(s)].item->kind != res::item_kind::separator) return;
        }
    }
    // Activates the selected entry; true when the menu is done.
    bool activate(uint32_t* command) {
        auto es = entries(levels.back());
        const entry& e = es[static_cast<size_t>(sel.back())];
        if (e.item->kind == res::item_kind::popup) {
            levels.push_back(e.sub);
            sel.push_back(0);
            return false;
        }
        if (e.item->kind != res::item_kind::command) return false;
        if (get_menu_state(get_menu(hl::main_window()), e.item->id, 0) > 0) {
            beep();  // grayed: refused
            return false;
        }
        *command = e.item->id;
        return true;
    }
};

void term_menu_loop(window_handle w, int key) {
    if (modal_depth > 0) return;
    menu_overlay m;
    m.tops = top_popups();
    if (m.tops.empty()) return;
    int start = 0;
    for (size_t i = 0; i < m.tops.size(); i++)
        if (key && mnemonic(m.tops[i].caption) == key) {
            start = static_cast<int>(i);
            break;
        }
    m.open_top(start);
    overlays.push_back(&m);
    modal_depth++;
    draw_all();
    uint32_t command = 0;
    bool done = false;
    msg in;
    while (!done && next_input(&in)) {
        if (in.message == term_mouse) {
            int mx = static_cast<int>(in.wParam), my = static_cast<int>(in.lParam);
            done = true;
            if (my == 1) {
                auto cols = bar_columns();
                for (size_t i = 0; i < m.tops.size(); i++)
                    if (mx >= cols[i] && mx < cols[i] + static_cast<int>(plain(m.tops[i].caption).size())) {
                        m.open_top(static_cast<int>(i));
                        done = false;
                    }
            }
            for (size_t l = 0; l < m.levels.size() && done; l++) {
                auto g = m.geo(l);
                int n = static_cast<int>(entries(m.levels[l]).size());
                if (mx > g.x && mx < g.x + g.w - 1 && my > g.y && my <= g.y + n) {
                    m.levels.resize(l + 1);
                    m.sel.resize(l + 1);
                    m.sel[l] = my - g.y - 1;
                    done = m.activate(&command);
                }
            }
        } else {
            int k = static_cast<int>(in.wParam);
            if (k == KEY_LEFT) {
                if (m.levels.size() > 1) {
                    m.levels.pop_back();
                    m.sel.pop_back();
                } else {
                    m.open_top(m.top - 1);
                }
            } else if (k == KEY_RIGHT) {
                auto es = entries(m.levels.back());
                if (es[static_cast<size_t>(m.sel.back())].item->kind == res::item_kind::popup)
                    m.activate(&command);
                else
                    m.open_top(m.top + 1);
            } else if (k == KEY_DOWN) {
                m.step(1);
            } else if (k == KEY_UP) {
                m.step(-1);
            } else if (k == '\n' || k == '\r' || k == KEY_ENTER) {
                done = m.activate(&command);
            } else if (k == 27 || k == KEY_F(10)) {
                if (m.levels.size() > 1 && k == 27) {
                    m.levels.pop_back();
                    m.sel.pop_back();
                } else {
                    done = true;
                }
            } else if (k < 256 && std::isalnum(k)) {
                if (in.lParam) {
                    // Alt with a letter switches to that pop-up.
                    // Alt with a letter moves to the next pop-up with that mnemonic (File and Flow share F).
                    int n = static_cast<int>(m.tops.size());
                    for (int d = 1; d <= n; d++) {
                        int i = (m.top + d) % n;
                        if (mnemonic(m.tops[static_cast<size_t>(i)].caption) == std::tolower(k)) {
                            m.open_top(i);
                            break;
                        }
                    }
                } else {
                    auto es = entries(m.levels.back());
                    for (size_t i = 0; i < es.size(); i++)
                        if (es[i].item->caption && mnemonic(es[i].item->caption) == std::tolower(k)) {
                            m.sel.back() = static_cast<int>(i);
                            done = m.activate(&command);
                            break;
                        }
                }
            }
        }
        draw_all();
    }
    modal_depth--;
    overlays.pop_back();
    draw_all();
    if (command && hl::alive(w)) post_message(w, wm_command, command, 0);
}

}  // namespace

int run(void (*created)(window_handle), volatile sig_atomic_t* flag, int (*program)(const char*),
        const char* cmdline) {
    stop_flag = flag;
    std::setlocale(LC_ALL, "");
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    mousemask(BUTTON1_CLICKED | BUTTON1_PRESSED | BUTTON1_RELEASED, nullptr);
    mouseinterval(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(pair_blue, COLOR_BLUE, -1);
        init_pair(pair_bar, COLOR_BLACK, COLOR_WHITE);
        init_pair(pair_box, COLOR_BLACK, COLOR_WHITE);
    }

    hl::backend b;
    b.created = created;
    b.present = present;
    b.box = term_box;
    b.thread_box = term_thread_box;
    b.wait = term_wait;
    b.run_dialog = term_run_dialog;
    b.menu_loop = term_menu_loop;
    hl::set_backend(b);
    hl::set_box_echo(false);

    int code = program(cmdline);

    {
        // Boxes still waiting from other threads are answered: nobody will see them now.
        std::lock_guard lk(boxes_m);
        closing = true;
        for (auto* p : boxes_waiting) p->done = true;
        boxes_waiting.clear();
    }
    boxes_cv.notify_all();
    // The hooks stay: an overrun watcher of the last run may still report, and is answered at once.
    endwin();
    return code;
}

}  // namespace ui::term
