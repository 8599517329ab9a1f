// The program's resources, defined once as data for every user-interface back end: the menu, the
// dialog templates, the icon and the version data. Names are found without regard to case.
#pragma once

#include <cstdint>

namespace res {

// One entry of a menu template, in template order. A pop-up opens a level, `end` closes it.
enum class item_kind : uint8_t { popup, command, separator, end };

struct menu_item {
    item_kind kind;
    const char* caption;  // "&" marks the mnemonic letter
    uint16_t id;          // command id (commands only)
};

struct menu_template {
    const char* name;  // stored in upper case
    uint16_t language;
    const menu_item* items;
    int count;
};

enum class control_class : uint8_t { button, edit, static_text, static_icon };

// Control styles the back ends honour.
constexpr uint32_t bs_defpushbutton = 0x0001;
constexpr uint32_t ws_tabstop = 0x00010000;
constexpr uint32_t ws_group = 0x00020000;
constexpr uint32_t ws_border = 0x00800000;
constexpr uint32_t es_autohscroll = 0x0080;
constexpr uint32_t dialog_style = 0x90C800C0;  // popup, visible, caption, system menu, modal frame, set font

struct control {
    control_class cls;
    int id;  // -1: none
    const char* text;
    int x, y, cx, cy;  // dialog units
    uint32_t style;
};

struct dialog_template {
    const char* name;  // stored in upper case
    uint16_t language;
    const char* caption;
    int x, y, cx, cy;  // dialog units
    uint32_t style;
    const char* font_face;
    int font_points;
    const control* controls;
    int count;
};

struct icon_template {
    const char* name;
    int width, height, bits_per_pixel;
    // One row of hex digits per line, a 16-colour palette index each (top row first).
    const char* const* rows;
    // Transparency mask: '1' transparent, '0' opaque, one row per line.
    const char* const* mask;
};

struct version_string {
    const char* key;
    const char* value;
};

struct version_data {
    uint16_t file_version[4];
    uint16_t product_version[4];
    uint32_t flags_mask, flags, os, file_type, file_subtype;
    const char* string_table;  // language and code page, "040904B0"
    const version_string* strings;
    int count;
    uint16_t translation_language, translation_codepage;
};

// Language tags.
constexpr uint16_t lang_neutral = 0;
constexpr uint16_t lang_us_english = 1033;

// Lookups by name, without regard to case; nullptr when there is none.
const menu_template* find_menu(const char* name);
const dialog_template* find_dialog(const char* name);
const icon_template* find_icon(const char* name);
const version_data* version();
// The value of a version string, nullptr when the key is unknown.
const char* version_value(const char* key);

// Compares resource names the way the loader does: letters without regard to case.
bool same_name(const char* a, const char* b);

}  // namespace res
