// zentrel.exe: the window program on Windows. The command-line text is the first port, as the
// program has always taken it; a leading `--virtual` or `--virtual=CONFIG` runs it on the built-in
// virtual board instead of the system's COM ports, for a machine without a multi-port board.
#include <cstring>
#include <memory>
#include <string>

#include "platform/serial/virtual/vboard.h"
#include "platform/serial/win32/win32_backend.h"
#include "zentrel.h"
// The project's headers first: windows.h defines macros that clash with some of their names.
#include <windows.h>

int WINAPI WinMain(HINSTANCE hInst, HINSTANCE, LPSTR lpszCmdLine, int nCmdShow) {
    const char* cmdline = lpszCmdLine ? lpszCmdLine : "";
    // The system's COM ports; with --virtual the board, registered after it, serves their names first.
    ser::win32_backend_install();
    std::unique_ptr<vboard::board> board;
    std::string rest;
    if (std::strncmp(cmdline, "--virtual", 9) == 0 &&
        (cmdline[9] == '\0' || cmdline[9] == ' ' || cmdline[9] == '=')) {
        const char* end = std::strchr(cmdline, ' ');
        std::string word = end ? std::string(cmdline, end) : std::string(cmdline);
        rest = end ? end + 1 : "";
        try {
            board = std::make_unique<vboard::board>(word.size() > 10 ? word.substr(10) : "");
        } catch (const std::exception& e) {
            MessageBoxA(nullptr, e.what(), "Zentrel", MB_OK);
            return 0;
        }
        cmdline = rest.c_str();
    }
    int code = zentrel::WinMain(reinterpret_cast<ui::instance_handle>(hInst), nullptr, cmdline, nCmdShow);
    board.reset();
    return code;
}
