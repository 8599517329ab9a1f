// The real window under Wine (and Xvfb): the program's own WinMain on the window system, driven from
// a second thread as an operator would drive it (menu commands, dialogs typed into and confirmed,
// message boxes read and dismissed), looked at through title, menu states and what each paint drew.
// Screenshots of the idle window, a run and its summary are saved for people to look at.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "model/chnl.h"
#include "platform/kernel/kernel.h"
#include "platform/serial/virtual/vboard.h"
#include "platform/ui/win32/win32_ui.h"
#include "res/resources.h"
#include "zentrel.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

namespace {

using namespace zentrel;

bool wait_for(const std::function<bool()>& cond, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 20) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

std::string title_of(HWND w) {
    char b[200] = "";
    GetWindowTextA(w, b, sizeof b);
    return b;
}

// A visible top-level dialog or box of this process with that caption.
HWND find_box(const char* caption) {
    HWND d = FindWindowA("#32770", caption);
    return d && IsWindowVisible(d) ? d : nullptr;
}

// The text a paint drew at (20, y), once a paint newer than `after` has drawn it.
std::string drawn_at(int y) {
    for (const auto& d : ui::win32::last_paint())
        if (d.x == 20 && d.y == y) return d.text;
    return "";
}

bool settings_line_starts(const char* prefix) {
    return wait_for([&] { return drawn_at(5).rfind(prefix, 0) == 0; });
}

// Types text into a settings dialog and presses OK once its initial text has been set.
void answer(const char* caption, int edit_id, const char* text, bool expect_closed = true) {
    HWND d = nullptr;
    ASSERT_TRUE(wait_for([&] { return (d = find_box(caption)) != nullptr; })) << caption;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its WM_INITDIALOG has run
    SetDlgItemTextA(d, edit_id, text);
    PostMessageA(d, WM_COMMAND, IDOK, 0);
    if (expect_closed) {
        EXPECT_TRUE(wait_for([&] { return !IsWindow(d); })) << caption << " " << text;
    }
}

// What the screen shows of the window, and of a box over it.
void save_screenshot(HWND w, const std::string& path, HWND box = nullptr) {
    RECT r, b;
    GetWindowRect(w, &r);
    if (box && GetWindowRect(box, &b)) UnionRect(&r, &r, &b);
    int cx = r.right - r.left, cy = r.bottom - r.top;
    HDC screen = GetDC(nullptr), mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, cx, cy);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, cx, cy, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER bi{sizeof bi, cx, cy, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const int stride = (cx * 3 + 3) & ~3;
    std::string pixels(static_cast<size_t>(stride * cy), '\0');
    GetDIBits(mem, bmp, 0, cy, pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
    BITMAPFILEHEADER fh{0x4D42, static_cast<DWORD>(sizeof fh + sizeof bi + pixels.size()), 0, 0,
                        sizeof fh + sizeof bi};
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(&fh, sizeof fh, 1, f);
        std::fwrite(&bi, sizeof bi, 1, f);
        std::fwrite(pixels.data(), 1, pixels.size(), f);
        std::fclose(f);
    }
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
}

bool grayed(HWND w, UINT id) {
    return (GetMenuState(GetMenu(w), id, MF_BYCOMMAND) & MF_GRAYED) != 0;
}

// The operator's side of the session, on its own thread while the program's message loop runs.
void operate() {
    HWND w = nullptr;
    ASSERT_TRUE(wait_for([&] { return (w = FindWindowA("Zentrel", nullptr)) && IsWindowVisible(w); }));
    // Whatever fails below, the window is closed at the end so the program returns.
    struct closer {
        HWND w;
        ~closer() {
            if (IsWindow(w)) PostMessageA(w, WM_CLOSE, 0, 0);
        }
    } close_at_end{w};

    EXPECT_EQ(title_of(w), "Zentrel - Serial I/O Performance Analyzer");
    RECT r;
    GetWindowRect(w, &r);
    EXPECT_EQ(r.right - r.left, window_width);
    EXPECT_EQ(r.bottom - r.top, 420);

    // The menu bar is the compiled template, item for item as the resource tables give it.
    const res::menu_template* tpl = res::find_menu("loopMenu");
    HMENU bar = GetMenu(w);
    int commands = 0;
    std::function<void(HMENU, int&)> walk = [&](HMENU m, int& i) {
        for (int pos = 0; pos < GetMenuItemCount(m); pos++, i++) {
            char text[64] = "";
            GetMenuStringA(m, pos, text, sizeof text, MF_BYPOSITION);
            const res::menu_item& it = tpl->items[i];
            if (HMENU sub = GetSubMenu(m, pos)) {
                EXPECT_EQ(it.kind, res::item_kind::popup) << text;
                EXPECT_STREQ(text, it.caption);
                i++;
                walk(sub, i);  // ends on the template's `end`
            } else if (it.kind == res::item_kind::separator) {
                EXPECT_EQ(GetMenuState(m, pos, MF_BYPOSITION) & MF_SEPARATOR,
                          static_cast<UINT>(MF_SEPARATOR));
            } else {
                commands++;
                EXPECT_STREQ(text, it.caption);
                EXPECT_EQ(GetMenuItemID(m, pos), it.id) << text;
            }
        }
        EXPECT_EQ(tpl->items[i].kind, res::item_kind::end);
    };
    int i = 0;
    for (int pos = 0; pos < GetMenuItemCount(bar); pos++, i++) {
        char text[64] = "";
        GetMenuStringA(bar, pos, text, sizeof text, MF_BYPOSITION);
        EXPECT_STREQ(text, tpl->items[i].caption);
        i++;
        walk(GetSubMenu(bar, pos), i);
    }
    EXPECT_EQ(i, tpl->count);
    EXPECT_EQ(commands, 25);

    // A box a worker thread shows is owned by the window: above it, stacking with the others.
    std::thread worker([w] {
        ui::message_box(reinterpret_cast<ui::window_handle>(w), "from a worker", "Worker box", ui::mb_ok);
    });
    HWND wbox = nullptr;
    EXPECT_TRUE(wait_for([&] { return (wbox = find_box("Worker box")) != nullptr; }));
    if (wbox) {
        EXPECT_EQ(GetWindow(wbox, GW_OWNER), w);
        PostMessageA(wbox, WM_COMMAND, IDOK, 0);
        worker.join();
    } else {
        worker.detach();
    }

    // Idle: Stop grayed, everything else enabled; the settings line in blue.
    EXPECT_TRUE(grayed(w, cmd_stop));
    for (UINT id : {201u, 202u, 301u, 302u, 401u, 402u, 501u, 509u, 601u, 604u, 701u, 801u, 802u, 901u, 902u})
        EXPECT_FALSE(grayed(w, id)) << id;
    EXPECT_TRUE(settings_line_starts("COM3...COM18   115200   Xon/Xoff   ")) << drawn_at(5);
    for (const auto& d : ui::win32::last_paint())
        if (d.y == 5) {
            EXPECT_EQ(d.color, 0x00FF0000u);
        }

    // Dialogs: the count is clamped to 1..16, text that is not a number keeps the dialog open,
    // Cancel changes nothing.
    PostMessageA(w, WM_COMMAND, cmd_count, 0);
    answer("Count of ComPorts", 102, "17");
    EXPECT_TRUE(settings_line_starts("COM3...COM18 ")) << drawn_at(5);
    PostMessageA(w, WM_COMMAND, cmd_count, 0);
    answer("Count of ComPorts", 102, "0");
    EXPECT_TRUE(settings_line_starts("COM3...COM3 ")) << drawn_at(5);
    PostMessageA(w, WM_COMMAND, cmd_count, 0);
    answer("Count of ComPorts", 102, "", false);
    HWND d = find_box("Count of ComPorts");
    EXPECT_NE(d, nullptr) << "an empty count keeps the dialog open";
    if (d) {
        SetDlgItemTextA(d, 102, "9");
        PostMessageA(d, WM_COMMAND, IDCANCEL, 0);
        EXPECT_TRUE(wait_for([&] { return !IsWindow(d); }));
    }
    PostMessageA(w, WM_COMMAND, cmd_count, 0);
    answer("Count of ComPorts", 102, "4");
    PostMessageA(w, WM_COMMAND, cmd_first, 0);
    answer("First ComPort", 101, "5");
    PostMessageA(w, WM_COMMAND, cmd_baud_first + 8, 0);  // 921600
    EXPECT_TRUE(settings_line_starts("COM5...COM8   921600   Xon/Xoff   ")) << drawn_at(5);
    // The format dialog reads its text: no format keeps it open, 8N2 is taken and shown.
    PostMessageA(w, WM_COMMAND, cmd_format, 0);
    answer("Line Format (8N1, 7E1, ...)", 103, "8X2", false);
    HWND fd = find_box("Line Format (8N1, 7E1, ...)");
    EXPECT_NE(fd, nullptr) << "no format, the dialog stays";
    if (fd) {
        SetDlgItemTextA(fd, 103, "8N2");
        PostMessageA(fd, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(wait_for([&] { return !IsWindow(fd); }));
    }
    EXPECT_TRUE(settings_line_starts("COM5...COM8   921600   8N2   Xon/Xoff   ")) << drawn_at(5);
    save_screenshot(w, ZENTREL_ARTIFACT_DIR "/zentrel-idle.bmp");

    // Start: the running title and menu, and a row per port once a second.
    PostMessageA(w, WM_COMMAND, cmd_start, 0);
    EXPECT_TRUE(
        wait_for([&] { return title_of(w) == "Zentrel - Serial I/O Performance Analyzer - Running"; }));
    EXPECT_TRUE(grayed(w, cmd_start));
    EXPECT_FALSE(grayed(w, cmd_stop));
    for (UINT id : {301u, 302u, 401u, 402u, 501u, 509u, 601u, 604u, 801u, 802u})
        EXPECT_TRUE(grayed(w, id)) << id;
    for (UINT id : {201u, 202u, 901u, 902u}) EXPECT_FALSE(grayed(w, id)) << id;
    EXPECT_TRUE(wait_for([&] {
        return drawn_at(20).rfind("Port        Xmit        Rcv         Errs        Rate", 0) == 0 &&
               drawn_at(40).rfind("COM5 ", 0) == 0 && drawn_at(100).rfind("COM8 ", 0) == 0;
    })) << drawn_at(40);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    save_screenshot(w, ZENTREL_ARTIFACT_DIR "/zentrel-running.bmp");

    // Stop: the summary box with its three lines; then idle again.
    PostMessageA(w, WM_COMMAND, cmd_stop, 0);
    HWND box = nullptr;
    EXPECT_TRUE(wait_for([&] { return (box = find_box("Zentrel")) != nullptr; }));
    if (box) {
        char text[300] = "";
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        std::string t = text;
        EXPECT_NE(t.find("Average cps: "), std::string::npos) << t;
        EXPECT_NE(t.find("Data errors:   0"), std::string::npos) << t;
        EXPECT_NE(t.find("Queue overruns:   0"), std::string::npos) << t;
        EXPECT_EQ(title_of(w), "Zentrel - Serial I/O Performance Analyzer");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the box has painted
        save_screenshot(w, ZENTREL_ARTIFACT_DIR "/zentrel-summary.bmp", box);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(wait_for([&] { return !IsWindow(box); }));
    }
    EXPECT_TRUE(wait_for([&] { return grayed(w, cmd_stop) && !grayed(w, cmd_start); }));

    // File > Exit ends the program (its return value is checked by the test itself).
    PostMessageA(w, WM_COMMAND, cmd_exit, 0);
    EXPECT_TRUE(wait_for([&] { return !IsWindow(w); }));
}

TEST(WindowTest, AWholeSessionFromTheMenus) {
    vboard::board board("ports=1-32");
    std::thread op(operate);
    int code = WinMain(reinterpret_cast<ui::instance_handle>(GetModuleHandleA(nullptr)), nullptr, "3",
                       SW_SHOWNORMAL);
    op.join();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(loop_running, 0);
}

}  // namespace
