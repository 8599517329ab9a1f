// Writes the Windows resource script and its icon file from the program's resource tables (res::),
// so the compiled resources of zentrel.exe and what every other back end shows can never disagree.
// Built and run on the build host during the Windows cross-build:
//   rcgen OUT.rc OUT.ico
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "res/resources.h"

namespace {

// The standard 16-colour palette, as red, green, blue.
const uint8_t palette[16][3] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

std::string quoted(const char* s) {
    std::string o = "\"";
    for (; s && *s; ++s) o += (*s == '"') ? std::string("\"\"") : std::string(1, *s);
    return o + "\"";
}

// LANGUAGE statement of a language id (primary language in the low 10 bits).
std::string language(uint16_t id) {
    return "LANGUAGE " + std::to_string(id & 0x3FF) + ", " + std::to_string(id >> 10) + "\n";
}

void put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(x & 0xFF);
    v.push_back((x >> 8) & 0xFF);
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

std::vector<uint8_t> icon_file(const res::icon_template& ic) {
    const int w = ic.width, h = ic.height;
    const int xor_row = w / 2, and_row = ((w + 31) / 32) * 4;
    const uint32_t image = 40 + 16 * 4 + xor_row * h + and_row * h;
    std::vector<uint8_t> v;
    put16(v, 0), put16(v, 1), put16(v, 1);  // icon directory, one image
    v.push_back(static_cast<uint8_t>(w)), v.push_back(static_cast<uint8_t>(h)), v.push_back(16),
        v.push_back(0);
    put16(v, 1), put16(v, 4), put32(v, image), put32(v, 6 + 16);
    put32(v, 40), put32(v, w), put32(v, h * 2), put16(v, 1), put16(v, 4);  // header: colour and mask
    put32(v, 0), put32(v, xor_row * h + and_row * h), put32(v, 0), put32(v, 0), put32(v, 16), put32(v, 0);
    for (const auto& c : palette) v.push_back(c[2]), v.push_back(c[1]), v.push_back(c[0]), v.push_back(0);
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (int y = h - 1; y >= 0; y--)  // bottom row first
        for (int x = 0; x < w; x += 2)
            v.push_back(static_cast<uint8_t>(nibble(ic.rows[y][x]) << 4 | nibble(ic.rows[y][x + 1])));
    for (int y = h - 1; y >= 0; y--)
        for (int b = 0; b < and_row; b++) {
            uint8_t byte = 0;
            for (int k = 0; k < 8; k++)
                if (b * 8 + k < w && ic.mask[y][b * 8 + k] == '1') byte |= static_cast<uint8_t>(0x80 >> k);
            v.push_back(byte);
        }
    return v;
}

// Window styles of the controls: a visible child, and what the template asks for.
uint32_t control_style(const res::control& c) {
    uint32_t s = 0x50000000u | (c.style & (res::ws_tabstop | res::ws_group | res::ws_border));
    switch (c.cls) {
        case res::control_class::button:
            s |= c.style & res::bs_defpushbutton;
            break;
        case res::control_class::edit:
            s |= c.style & res::es_autohscroll;
            break;
        case res::control_class::static_text:
            break;  // left-aligned text
        case res::control_class::static_icon:
            s |= 0x0003;  // SS_ICON
            break;
    }
    return s;
}

const char* class_name(res::control_class c) {
    switch (c) {
        case res::control_class::button:
            return "BUTTON";
        case res::control_class::edit:
            return "EDIT";
        default:
            return "STATIC";
    }
}

std::string menu_script(const res::menu_template& m) {
    std::string o = language(m.language) + m.name + " MENU\nBEGIN\n";
    std::string indent = "    ";
    for (int i = 0; i < m.count; i++) {
        const res::menu_item& it = m.items[i];
        switch (it.kind) {
            case res::item_kind::popup:
                o += indent + "POPUP " + quoted(it.caption) + "\n" + indent + "BEGIN\n";
                indent += "    ";
                break;
            case res::item_kind::command:
                o += indent + "MENUITEM " + quoted(it.caption) + ", " + std::to_string(it.id) + "\n";
                break;
            case res::item_kind::separator:
                o += indent + "MENUITEM SEPARATOR\n";
                break;
            case res::item_kind::end:
                indent.resize(indent.size() - 4);
                o += indent + "END\n";
                break;
        }
    }
    return o + "END\n\n";
}

std::string dialog_script(const char* name) {
    const res::dialog_template* d = res::find_dialog(name);
    char b[256];
    std::snprintf(b, sizeof b, "%s DIALOG %d, %d, %d, %d\nSTYLE 0x%08X\nCAPTION %s\nFONT %d, %s\nBEGIN\n",
                  d->name, d->x, d->y, d->cx, d->cy, d->style, quoted(d->caption).c_str(), d->font_points,
                  quoted(d->font_face).c_str());
    std::string o = language(d->language) + b;
    for (int i = 0; i < d->count; i++) {
        const res::control& c = d->controls[i];
        std::snprintf(b, sizeof b, "    CONTROL %s, %d, \"%s\", 0x%08X, %d, %d, %d, %d\n",
                      quoted(c.text).c_str(), c.id, class_name(c.cls), control_style(c), c.x, c.y, c.cx,
                      c.cy);
        o += b;
    }
    return o + "END\n\n";
}

std::string version_script() {
    const res::version_data* v = res::version();
    char b[512];
    std::snprintf(b, sizeof b,
                  "1 VERSIONINFO\nFILEVERSION %u, %u, %u, %u\nPRODUCTVERSION %u, %u, %u, %u\n"
                  "FILEFLAGSMASK 0x%X\nFILEFLAGS 0x%X\nFILEOS 0x%X\nFILETYPE 0x%X\nFILESUBTYPE 0x%X\n"
                  "BEGIN\n    BLOCK \"StringFileInfo\"\n    BEGIN\n        BLOCK \"%s\"\n        BEGIN\n",
                  v->file_version[0], v->file_version[1], v->file_version[2], v->file_version[3],
                  v->product_version[0], v->product_version[1], v->product_version[2], v->product_version[3],
                  v->flags_mask, v->flags, v->os, v->file_type, v->file_subtype, v->string_table);
    std::string o = language(res::lang_us_english) + b;
    for (int i = 0; i < v->count; i++)
        o += "            VALUE " + quoted(v->strings[i].key) + ", " + quoted(v->strings[i].value) + "\n";
    std::snprintf(b, sizeof b,
                  "        END\n    END\n    BLOCK \"VarFileInfo\"\n    BEGIN\n"
                  "        VALUE \"Translation\", 0x%X, %u\n    END\nEND\n",
                  v->translation_language, v->translation_codepage);
    return o + b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: rcgen OUT.rc OUT.ico\n");
        return 64;
    }
    const res::icon_template* icon = res::find_icon("loopIcon");
    std::vector<uint8_t> ico = icon_file(*icon);
    std::string ico_name = argv[2];  // as given: the resource compiler reads it from there

    std::string rc = "// Generated by tools/rcgen from src/res/resources.cpp: edit the tables there.\n\n";
    rc += menu_script(*res::find_menu("loopMenu"));
    for (const char* d : {"AboutDlg", "FirstDlg", "CountDlg", "TimeDlg", "FormatDlg"}) rc += dialog_script(d);
    rc += language(res::lang_us_english) + icon->name + " ICON " + quoted(ico_name.c_str()) + "\n\n";
    rc += version_script();

    FILE* f = std::fopen(argv[1], "wb");
    if (!f || std::fwrite(rc.data(), 1, rc.size(), f) != rc.size() || std::fclose(f) != 0) return 1;
    f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(ico.data(), 1, ico.size(), f) != ico.size() || std::fclose(f) != 0) return 1;
    return 0;
}
