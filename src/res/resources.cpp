#include "res/resources.h"

#include <cctype>

namespace res {
namespace {

using enum item_kind;

const menu_item loop_menu[] = {
    {popup, "&File", 0},
    {command, "&About", 201},
    {separator, nullptr, 0},
    {command, "&Exit", 202},
    {end, nullptr, 0},
    {popup, "&Options", 0},
    {command, "&Time limit", 301},
    {command, "&Format", 302},
    {popup, "&Loopback", 0},
    {command, "Clear internal loopback", 801},
    {command, "Set internal loopback", 802},
    {end, nullptr, 0},
    {popup, "&Data check", 0},
    {command, "Verify data integrity", 902},
    {command, "No verify of data", 901},
    {end, nullptr, 0},
    {end, nullptr, 0},
    {popup, "&Ports", 0},
    {command, "&First", 401},
    {command, "&Count", 402},
    {end, nullptr, 0},
    {popup, "&Speed", 0},
    {command, "9600", 501},
    {command, "19200", 502},
    {command, "38400", 503},
    {command, "57600", 504},
    {command, "76800", 505},
    {command, "115200", 506},
    {command, "230400", 507},
    {command, "460800", 508},
    {command, "921600", 509},
    {end, nullptr, 0},
    {popup, "&Flow", 0},
    {command, "None", 601},
    {command, "Xon/Xoff", 602},
    {command, "DTR/DSR", 603},
    {command, "RTS/CTS", 604},
    {end, nullptr, 0},
    {popup, "&Run", 0},
    {command, "Sta&rt", 701},
    {command, "Sto&p", 702},
    {end, nullptr, 0},
};

const menu_template menus[] = {
    {"LOOPMENU", lang_us_english, loop_menu, static_cast<int>(sizeof loop_menu / sizeof loop_menu[0])},
};

using enum control_class;

const control about_controls[] = {
    {button, 1, "&OK", 72, 74, 40, 14, bs_defpushbutton | ws_tabstop},
    {static_icon, -1, "loopICON", 10, 18, 18, 20, 0},
    {static_text, 104, "Zentrel Serial I/O Performance Analyzer", 45, 14, 136, 8, ws_group},
    {static_text, 105, "Version 1.0", 45, 24, 136, 8, ws_group},
    {static_text, 106, "Copyright (C) 1996 Zentrel Labs", 45, 54, 128, 8, ws_group},
};

const control first_controls[] = {
    {edit, 101, "", 25, 18, 72, 12, ws_border | ws_tabstop | es_autohscroll},
    {button, 1, "OK", 122, 10, 50, 14, ws_tabstop},
    {button, 2, "Cancel", 122, 32, 50, 14, ws_tabstop},
};

// The count and time dialogs share the edit id 102.
const control number_controls[] = {
    {edit, 102, "", 25, 18, 72, 12, ws_border | ws_tabstop | es_autohscroll},
    {button, 1, "OK", 122, 10, 50, 14, ws_tabstop},
    {button, 2, "Cancel", 122, 32, 50, 14, ws_tabstop},
};

// The line format: text such as 8N1 or 7E1.
const control format_controls[] = {
    {edit, 103, "", 25, 18, 72, 12, ws_border | ws_tabstop | es_autohscroll},
    {button, 1, "OK", 122, 10, 50, 14, ws_tabstop},
    {button, 2, "Cancel", 122, 32, 50, 14, ws_tabstop},
};

const dialog_template dialogs[] = {
    {"ABOUTDLG", lang_neutral, "About Zentrel Labs Zentrel", 6, 21, 198, 99, dialog_style, "MS Sans Serif", 8,
     about_controls, 5},
    {"FIRSTDLG", lang_us_english, "First ComPort", 0, 0, 185, 55, dialog_style, "MS Sans Serif", 8,
     first_controls, 3},
    {"COUNTDLG", lang_us_english, "Count of ComPorts", 0, 0, 185, 55, dialog_style, "MS Sans Serif", 8,
     number_controls, 3},
    {"TIMEDLG", lang_us_english, "Time Limit in Minutes", 0, 0, 185, 55, dialog_style, "MS Sans Serif", 8,
     number_controls, 3},
    {"FORMATDLG", lang_us_english, "Line Format (8N1, 7E1, ...)", 0, 0, 185, 55, dialog_style,
     "MS Sans Serif", 8, format_controls, 3},
};

// The icon: a loop, blue going out on the left and red coming back on the right, with a bar across.
const char* const icon_rows[] = {
    "00000000000000000000000000000000", "00000000000000000000000000000000",
    "00000000000000000000000000000000", "0000000000009999CCCC000000000000",
    "0000000000999999CCCCCC0000000000", "0000000099999999CCCCCCCC00000000",
    "0000000999999999CCCCCCCCC0000000", "0000009999999000000CCCCCCC000000",
    "000009999990000000000CCCCCC00000", "0000099999000000000000CCCCC00000",
    "00009999900000000000000CCCCC0000", "000099990000000000000000CCCC0000",
    "000999990000000000000000CCCCC000", "0009999000000000000000000CCCC000",
    "0009999000000000000000000CCCC000", "0009999000000000000000000CCCC000",
    "0009999000000000000000000CCCC000", "0009999000000000000000000CCCC000",
    "0009999000000000000000000CCCC000", "000999990000000000000000CCCCC000",
    "000099990000000000000000CCCC0000", "00009999900000000000000CCCCC0000",
    "0000099999000000000000CCCCC00000", "000009999990000000000CCCCCC00000",
    "0000009999999000000CCCCCCC000000", "0000000999999999CCCCCCCCC0000000",
    "0000000099999999CCCCCCCC00000000", "0000000000999999CCCCCC0000000000",
    "0000000000009999CCCC000000000000", "00000000000000000000000000000000",
    "00000000000000000000000000000000", "00000000000000000000000000000000",
};
const char* const icon_mask[] = {
    "11111111111111111111111111111111", "11111111111111111111111111111111",
    "11111111111111111111111111111111", "11111111111100000000111111111111",
    "11111111110000000000001111111111", "11111111000000000000000011111111",
    "11111110000000000000000001111111", "11111100000001111110000000111111",
    "11111000000111111111100000011111", "11111000001111000011110000011111",
    "11110000011111000011111000001111", "11110000111111000011111100001111",
    "11100000111111000011111100000111", "11100001111111000011111110000111",
    "11100001111111000011111110000111", "11100001111111000011111110000111",
    "11100001111111000011111110000111", "11100001111111000011111110000111",
    "11100001111111000011111110000111", "11100000111111000011111100000111",
    "11110000111111000011111100001111", "11110000011111000011111000001111",
    "11111000001111000011110000011111", "11111000000111000011100000011111",
    "11111100000001111110000000111111", "11111110000000000000000001111111",
    "11111111000000000000000011111111", "11111111110000000000001111111111",
    "11111111111100000000111111111111", "11111111111111111111111111111111",
    "11111111111111111111111111111111", "11111111111111111111111111111111",
};

const icon_template icons[] = {
    {"LOOPICON", 32, 32, 4, icon_rows, icon_mask},
};

const version_string version_strings[] = {
    {"CompanyName", "Zentrel Labs"},
    {"FileDescription", "Zentrel Serial I/O perf utility"},
    {"FileVersion", "1.00 Intel"},
    {"InternalName", "Zentrel"},
    {"LegalCopyright", "Copyright (C) 1996 Zentrel Labs"},
    {"OriginalFilename", "zentrel"},
    {"ProductName", "Zentrel Labs Zentrel Package for Windows NT(TM)"},
    {"ProductVersion", "1.00 Intel"},
};

const version_data version_block = {
    {3, 50, 1, 1}, {3, 50, 1, 1},   0x3F, 0,      0x00040004, 3, 0x0A,
    "040904B0",    version_strings, 8,    0x0409, 0x04B0,
};

}  // namespace

bool same_name(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

const menu_template* find_menu(const char* name) {
    for (const auto& m : menus)
        if (same_name(m.name, name)) return &m;
    return nullptr;
}

const dialog_template* find_dialog(const char* name) {
    for (const auto& d : dialogs)
        if (same_name(d.name, name)) return &d;
    return nullptr;
}

const icon_template* find_icon(const char* name) {
    for (const auto& i : icons)
        if (same_name(i.name, name)) return &i;
    return nullptr;
}

const version_data* version() {
    return &version_block;
}

const char* version_value(const char* key) {
    for (const auto& s : version_strings)
        if (same_name(s.key, key)) return s.value;
    return nullptr;
}

}  // namespace res
