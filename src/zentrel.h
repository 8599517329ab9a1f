// The main module: start-up, the window procedure, run control, the settings line and the dialog
// procedures.
#pragma once

#include <cstdint>

#include "platform/ui/ui.h"

namespace zentrel {

extern ui::instance_handle hinst;

// Menu command ids (the menu resource's contract with the window procedure).
constexpr uint32_t cmd_about = 201, cmd_exit = 202, cmd_time = 301, cmd_format = 302, cmd_first = 401,
                   cmd_count = 402;
constexpr uint32_t cmd_baud_first = 501, cmd_baud_last = 509;
constexpr uint32_t cmd_flow_first = 601, cmd_flow_last = 604;
constexpr uint32_t cmd_start = 701, cmd_stop = 702;
constexpr uint32_t cmd_loopback_clear = 801, cmd_loopback_set = 802;
constexpr uint32_t cmd_no_verify = 901, cmd_verify = 902;

// The rates of the Speed menu, in menu order (command 501 + i).
extern const int32_t speed_rates[9];
// The main window's outer width in pixels: room for every column of the status table.
extern const int32_t window_width;

// The longest time limit: its millisecond count must fit the timer's signed 32-bit range.
constexpr int32_t max_time_limit = 0x7FFFFFFF / 60000;
constexpr int32_t max_time_limit_secs = 0x7FFFFFFF / 1000;
// A limit in seconds for short unattended runs; when nonzero it takes the place of time_limit.
extern int32_t time_limit_secs;

int WinMain(ui::instance_handle hInst, ui::instance_handle hPrevInst, const char* lpszCmdLine, int nCmdShow);
ui::lresult WindowProc(ui::window_handle hwnd, uint32_t messg, ui::wparam wParam, ui::lparam lParam);

void start_loopback();
void stop_loopback();
void show_parms(ui::hdc hdc);

intptr_t get_first(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam lParam);
intptr_t get_count(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam lParam);
intptr_t get_time(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam lParam);
// The line format dialog: text such as 7E1 or 8N2; text that is no format keeps it open.
intptr_t get_format(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam lParam);
intptr_t AboutDlgProc(ui::window_handle hDlg, uint32_t uMsg, ui::wparam wParam, ui::lparam lParam);

// Resets the window procedure's own memory (the watchdog statics live in the write module).
void shell_reset();

}  // namespace zentrel
