// The main module: start-up, the window procedure, run control, the settings line and the settings
// dialogs. Plain procedural code over the channel table; the user interface is reached only through
// platform/ui.
#include "zentrel.h"

#include <cstdio>
#include <cstring>

#include "loop.h"
#include "model/chnl.h"
#include "write.h"

namespace zentrel {

ui::instance_handle hinst;
int32_t time_limit_secs;

const int32_t speed_rates[9] = {9600, 19200, 38400, 57600, 76800, 115200, 230400, 460800, 921600};
const int32_t window_width = 840;

namespace {

const char idle_title[] = "Zentrel - Serial I/O Performance Analyzer";
const char running_title[] = "Zentrel - Serial I/O Performance Analyzer - Running";

// The order in which the running state grays the settings items, and the idle state enables them.
const uint32_t run_grayed[] = {301, 302, 801, 802, 401, 402, 501, 502, 503, 504,
                               505, 506, 507, 508, 509, 601, 602, 603, 604};
const uint32_t idle_enabled[] = {701, 401, 402, 301, 302, 801, 802, 501, 502, 503,
                                 504, 505, 506, 507, 508, 509, 601, 602, 603, 604};

constexpr uint32_t grayed = ui::mf_disabled | ui::mf_grayed;

ui::hfont make_display_font() {
    return ui::create_font(20, 10, 0, 0, 500, 0, 0, 0, ui::oem_charset, 0, 0, 0,
                           ui::fixed_pitch | ui::ff_modern, "CourierNew");
}

void paint_now(ui::window_handle w, ui::hfont hfont) {
    ui::paintstruct ps;
    ui::hdc hdc = ui::begin_paint(w, &ps);
    loop_mon(hdc, hfont);
    ui::delete_font(hfont);
    ui::validate_rect(w);
    ui::end_paint(w, &ps);
}

void stop_sequence(ui::window_handle w) {
    stop_loopback();
    loop_summary();
    ui::hfont hfont = make_display_font();
    ui::invalidate_rect(w, false);
    paint_now(w, hfont);
}

void box(const char* text) {
    ui::message_box(hwnd, text, szProgName, ui::mb_ok);
}

// Common reading of a settings dialog's edit field on OK; false when the text is not a number.
bool read_number(ui::window_handle hDlg, int id, int32_t* value) {
    bool translated = false;
    uint32_t v = ui::get_dlg_item_int(hDlg, id, &translated, true);
    if (!translated) return false;
    *value = static_cast<int32_t>(v);
    return true;
}

// The pattern's bytes need 7 data bits: a narrower format cannot be checked. Says so and answers
// false while data checking is on.
bool verify_fits_format() {
    const line_format f = com_format;
    if (!data_check || f.data >= verify_min_data_bits) return true;
    char s[200], t[8];
    format_text(t, sizeof t, f);
    std::snprintf(s, sizeof s,
                  "Data check needs 7 or 8 data bits: the test pattern does not fit in %s. Choose "
                  "\"No verify of data\" or a format with 7 or 8 data bits.",
                  t);
    box(s);
    return false;
}

void init_number(ui::window_handle hDlg, int id, int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    ui::set_dlg_item_text(hDlg, id, text);
}

}  // namespace

// ---- Run control ---------------------------------------------------------------------------------

void start_loopback() {
    char s[128 + open_fail_reason_size];
    bool none_opened = false;
    if (!verify_fits_format()) return;
    int retv = loop_init(&none_opened);

    // loop_init says plainly whether anything was opened; the 10000 mark alone does not decode for
    // every port number. The arithmetic wraps as loop_init's does, so no port number overflows it.
    if (none_opened) retv = wrap_add(retv, -10000);
    if (retv >= 100) {
        char label[80];
        port_label(label, sizeof label, retv - 100);
        // A long device name is cut rather than overrun the buffer.
        if (std::snprintf(s, sizeof s, "Unable to open %s at configured baudrate.", label) < 0) s[0] = '\0';
        // Why, on a line of its own: missing, in use (by whom), or a setting the driver refused.
        if (open_fail_reason[0]) {
            size_t n = std::strlen(s);
            std::snprintf(s + n, sizeof s - n, "\r%s", open_fail_reason);
        }
        box(s);
        if (none_opened || chnl_count < 1) return;
    } else if (retv != 0) {
        std::snprintf(s, sizeof s, "Initialization error: %d", wrap_add(retv, -100));
        box(s);
    }
    // Ports that were kept run, whatever number the failing one had; with none, the program stays idle.
    // Nor does a run that was stopped while the box was up (the window closed behind it).
    if (none_opened || chnl_count < 1 || !loop_open()) {
        if (loop_open()) loop_fini();
        return;
    }

    ui::set_window_text(hwnd, running_title);
    ui::menu_handle m = ui::get_menu(hwnd);
    ui::enable_menu_item(m, cmd_start, grayed);
    ui::enable_menu_item(m, cmd_stop, ui::mf_enabled);
    for (uint32_t id : run_grayed) ui::enable_menu_item(m, id, grayed);
    loop_running = 1;

    uint32_t interval = 0;
    if (time_limit_secs > 0) {
        int32_t secs = time_limit_secs > max_time_limit_secs ? max_time_limit_secs : time_limit_secs;
        interval = static_cast<uint32_t>(secs) * 1000u;
    } else if (time_limit != 0) {
        // The dialog keeps the limit in range; a value from elsewhere is held to it here too.
        int32_t minutes = time_limit > max_time_limit ? max_time_limit : time_limit.get();
        interval = static_cast<uint32_t>(minutes) * 60000u;
    }
    if (interval != 0 && ui::set_timer(hwnd, 2, interval) == 0) box("Too many timers started!");
}

void stop_loopback() {
    ui::kill_timer(hwnd, 2);
    ui::set_window_text(hwnd, idle_title);
    ui::menu_handle m = ui::get_menu(hwnd);
    ui::enable_menu_item(m, cmd_stop, grayed);
    for (uint32_t id : idle_enabled) ui::enable_menu_item(m, id, ui::mf_enabled);
    loop_running = 0;
    loop_fini();
}

// ---- Settings line -------------------------------------------------------------------------------

void show_parms(ui::hdc hdc) {
    char line[128];
    char first[40], last[40];
    const char* flow;
    ui::colorref orgcolor = ui::get_text_color(hdc);
    ui::set_text_color(hdc, ui::rgb(0, 0, 255));

    switch (chnls[0].com_flow) {
        case flow_xonxoff:
            flow = "Xon/Xoff";
            break;
        case flow_dtrdsr:
            flow = "DTR/DSR";
            break;
        case flow_rtscts:
            flow = "RTS/CTS";
            break;
        default:
            flow = "no flow control";
            break;
    }
    // The format only when it is not the usual 8N1, which every line of a plain run has.
    char format[12] = "";
    if (!(com_format.get() == line_format{})) {
        std::memcpy(format, "   ", 3);
        format_text(format + 3, sizeof format - 3, com_format);
    }
    int count = chnl_count;
    int lastidx = count < 1 ? 0 : (count > max_chnls ? max_chnls - 1 : count - 1);
    port_label(first, sizeof first, chnls[0].com_nbr);
    port_label(last, sizeof last, chnls[lastidx].com_nbr);
    // Long device names are cut at the buffer's end, never written past it.
    if (std::snprintf(line, sizeof line, "%s...%s   %d%s   %s%s%s                                     ",
                      first, last, chnls[0].com_baud.get(), format, flow,
                      internal_loopback ? "   internal loopback" : "", data_check ? "" : "   no verify") < 0)
        line[0] = '\0';
    ui::text_out(hdc, 20, 5, line, static_cast<int>(std::strlen(line)));
    ui::set_text_color(hdc, orgcolor);
}

// ---- Dialogs -------------------------------------------------------------------------------------

intptr_t get_first(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam) {
    int32_t newfirst;
    if (uMsg == ui::wm_initdialog) {
        init_number(hDlg, 101, chnls[0].com_nbr);
        return 1;
    }
    if (uMsg != ui::wm_command) return 0;
    if (wParam == ui::id_ok) {
        if (!read_number(hDlg, 101, &newfirst)) return 0;
        chnls_number(newfirst);
        ui::end_dialog(hDlg, 1);
        return 1;
    }
    if (wParam == ui::id_cancel) {
        ui::end_dialog(hDlg, 0);
        return 1;
    }
    return 0;
}

intptr_t get_count(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam) {
    int32_t newcount;
    if (uMsg == ui::wm_initdialog) {
        init_number(hDlg, 102, chnl_count);
        return 1;
    }
    if (uMsg != ui::wm_command) return 0;
    if (wParam == ui::id_ok) {
        if (!read_number(hDlg, 102, &newcount)) return 0;
        if (newcount > max_chnls)
            newcount = max_chnls;
        else if (newcount < 1)
            newcount = 1;
        chnl_count = newcount;
        ui::end_dialog(hDlg, 1);
        return 1;
    }
    if (wParam == ui::id_cancel) {
        ui::end_dialog(hDlg, 0);
        return 1;
    }
    return 0;
}

intptr_t get_time(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam) {
    int32_t newtime;
    char s[90];
    if (uMsg == ui::wm_initdialog) {
        init_number(hDlg, 102, time_limit);
        return 1;
    }
    if (uMsg != ui::wm_command) return 0;
    if (wParam == ui::id_ok) {
        if (!read_number(hDlg, 102, &newtime)) return 0;
        if (newtime < 0) newtime = 0;
        if (newtime > max_time_limit) {
            // The limit becomes a millisecond count for the timer: longer limits would not fit.
            std::snprintf(s, sizeof s, "Time limit too long: set to the longest, %d minutes.",
                          max_time_limit);
            ui::message_box(hDlg, s, szProgName, ui::mb_ok);
            newtime = max_time_limit;
        }
        time_limit = newtime;
        ui::end_dialog(hDlg, 1);
        return 1;
    }
    if (wParam == ui::id_cancel) {
        ui::end_dialog(hDlg, 0);
        return 1;
    }
    return 0;
}

intptr_t get_format(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam) {
    char text[32];
    line_format f;
    if (uMsg == ui::wm_initdialog) {
        format_text(text, sizeof text, com_format);
        ui::set_dlg_item_text(hDlg, 103, text);
        return 1;
    }
    if (uMsg != ui::wm_command) return 0;
    if (wParam == ui::id_ok) {
        text[0] = '\0';
        ui::get_dlg_item_text(hDlg, 103, text, sizeof text);
        if (!parse_format(text, &f)) return 0;
        com_format = f;
        ui::end_dialog(hDlg, 1);
        return 1;
    }
    if (wParam == ui::id_cancel) {
        ui::end_dialog(hDlg, 0);
        return 1;
    }
    return 0;
}

intptr_t AboutDlgProc(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam) {
    if (uMsg == ui::wm_initdialog) return 1;
    if (uMsg == ui::wm_command && wParam == ui::id_ok) {
        ui::end_dialog(hDlg, 1);
        return 1;
    }
    return 0;
}

// ---- Window procedure ----------------------------------------------------------------------------

ui::lresult WindowProc(ui::window_handle w, uint32_t messg, ui::wparam wParam, ui::lparam lParam) {
    switch (messg) {
        case ui::wm_destroy:
            ui::post_quit_message(0);
            return 0;
        case ui::wm_size:
        case ui::wm_keydown:
        case ui::wm_keyup:
            return 0;
        case ui::wm_paint:
            paint_now(w, make_display_font());
            return 0;
        case ui::wm_close:
            // The flag goes first: a box inside loop stop lets the time limit through, which must
            // then find no run to stop and summarise. A start still showing its "Unable to open"
            // box has workers running before the flag is set: they are stopped here too.
            if (loop_running || loop_open()) {
                loop_running = 0;
                loop_fini();
            }
            ui::destroy_window(w);
            return 0;
        case ui::wm_timer:
            if (wParam == 1) {
                ui::invalidate_rect(w, false);
                wrmon_watchdog();
            } else if (loop_running) {
                stop_sequence(w);
            }
            return 0;
        case ui::wm_command:
            break;
        default:
            return ui::def_window_proc(w, messg, wParam, lParam);
    }

    uint32_t id = ui::loword(wParam);
    bool idle = !loop_running;
    switch (id) {
        case cmd_about:
            ui::dialog_box_param(hinst, "AboutDlg", w, AboutDlgProc, 0);
            break;
        case cmd_exit:
            if (loop_running || loop_open()) {
                loop_running = 0;
                loop_fini();
            }
            ui::destroy_window(w);
            break;
        case cmd_time:
            if (idle) ui::dialog_box_param(hinst, "TimeDlg", w, get_time, 0);
            break;
        case cmd_format:
            if (idle) ui::dialog_box_param(hinst, "FormatDlg", w, get_format, 0);
            break;
        case cmd_first:
            if (idle) ui::dialog_box_param(hinst, "FirstDlg", w, get_first, 0);
            break;
        case cmd_count:
            if (idle) ui::dialog_box_param(hinst, "CountDlg", w, get_count, 0);
            break;
        case cmd_start:
            if (idle) start_loopback();
            break;
        case cmd_stop:
            if (!idle) stop_sequence(w);
            break;
        case cmd_loopback_clear:
            internal_loopback = 0;
            break;
        case cmd_loopback_set:
            internal_loopback = 1;
            break;
        case cmd_no_verify:
            data_check = 0;
            break;
        case cmd_verify:
            // A format too narrow for the pattern cannot be checked: a run in one goes on unchecked.
            if (!idle && com_format.get().data < verify_min_data_bits) break;
            data_check = 1;
            break;
        default:
            if (idle && id >= cmd_baud_first && id <= cmd_baud_last)
                set_bauds(speed_rates[id - cmd_baud_first]);
            if (idle && id >= cmd_flow_first && id <= cmd_flow_last)
                set_flows(static_cast<int32_t>(id - cmd_flow_first));
            break;
    }
    return 0;
}

// ---- Start-up ------------------------------------------------------------------------------------

int WinMain(ui::instance_handle hInst, ui::instance_handle hPrevInst, const char* lpszCmdLine, int nCmdShow) {
    ui::wndclass wcSmp;
    ui::msg msg;

    hinst = hInst;
    chnls_startup(lpszCmdLine);

    if (!hPrevInst) {
        wcSmp.style = ui::cs_hredraw | ui::cs_vredraw;
        wcSmp.lpfnWndProc = WindowProc;
        wcSmp.hInstance = hInst;
        wcSmp.lpszIconName = szIconName;
        wcSmp.white_background = true;
        wcSmp.lpszMenuName = "loopMenu";
        wcSmp.lpszClassName = szProgName;
        if (!ui::register_class(&wcSmp)) return 0;
    }
    // Wide enough for all six columns: a row is up to 78 characters of the 10-pixel table font from
    // x = 20 (at 600 pixels the TxQueue column, from x = 620, was never visible).
    hwnd = ui::create_window(0, szProgName, idle_title, ui::ws_overlappedwindow, ui::cw_usedefault,
                             ui::cw_usedefault, window_width, 420, nullptr, hInst);
    // Without a window there is nothing to show or to own the boxes.
    if (!hwnd) return 0;
    if (ui::set_timer(hwnd, 1, 1000) == 0) {
        box("Too many timers started!");
        return 0;
    }
    ui::menu_handle m = ui::get_menu(hwnd);
    ui::enable_menu_item(m, cmd_stop, grayed);
    ui::enable_menu_item(m, cmd_start, ui::mf_enabled);
    ui::show_window(hwnd, nCmdShow);
    ui::update_window(hwnd);

    while (ui::get_message(&msg, nullptr, 0, 0)) {
        ui::translate_message(&msg);
        ui::dispatch_message(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void shell_reset() {
    hinst = nullptr;
    hwnd = nullptr;
    time_limit_secs = 0;
}

}  // namespace zentrel
