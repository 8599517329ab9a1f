// The settings dialogs' number fields: the parse agrees with the rule written out here, and the
// First port, Count and Time dialogs apply their rules to whatever text is typed.
#include <cstring>
#include <string>

#include "fuzz_shell.h"
#include "fuzz_util.h"

using namespace zentrel;

namespace {

// The rule: blanks, one '-' when signed, at least one digit, blanks, nothing else; in range.
bool rule(const std::string& t, bool is_signed, int64_t* v) {
    size_t i = 0;
    while (i < t.size() && t[i] == ' ') i++;
    bool neg = false;
    if (is_signed && i < t.size() && t[i] == '-') neg = true, i++;
    size_t digits = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') i++;
    if (i == digits) return false;
    std::string d = t.substr(digits, i - digits);
    while (i < t.size() && t[i] == ' ') i++;
    if (i != t.size()) return false;
    d.erase(0, std::min(d.find_first_not_of('0'), d.size() - 1));
    if (d.size() > 10) return false;
    int64_t x = std::stoll(d);
    if (neg) x = -x;
    if (is_signed ? (x < INT32_MIN || x > INT32_MAX) : x > UINT32_MAX) return false;
    *v = x;
    return true;
}

}  // namespace

// Input: which dialog (first byte), then the text typed into its field.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text.resize(std::strlen(text.c_str()));  // an edit field holds no NUL
    for (bool is_signed : {true, false}) {
        int64_t want = 0;
        bool ok = false;
        uint32_t got = ui::headless::parse_dlg_int(text.c_str(), is_signed, &ok);
        bool rule_ok = rule(text, is_signed, &want);
        FUZZ_CHECK(ok == rule_ok);
        if (ok) FUZZ_CHECK(got == static_cast<uint32_t>(want));
        if (!ok) FUZZ_CHECK(got == 0);
    }
    if (data[0] % 4 == 3) return 0;  // the parse alone: many more executions
    // The dialog itself, answered with the text and OK; a text that is no number keeps it open
    // (the script then cancels it) and changes nothing.
    static const uint32_t cmds[] = {cmd_first, cmd_count, cmd_time};
    const uint32_t cmd = cmds[data[0] % 4];
    int64_t v = 0;
    const bool number = rule(text, true, &v);
    fuzz_shell::run("7", [&](ui::window_handle w) {
        ui::headless::script_dialog({{text.c_str(), ui::id_ok}});
        ui::post_message(w, ui::wm_command, cmd, 0);
    });
    if (cmd == cmd_first) {
        FUZZ_CHECK(fuzz_shell::numbered_from(number ? static_cast<int32_t>(v) : 7));
    } else if (cmd == cmd_count) {
        FUZZ_CHECK(chnl_count == (number ? (v > max_chnls ? max_chnls : v < 1 ? 1 : v) : 16));
    } else {
        FUZZ_CHECK(time_limit == (number ? (v > max_time_limit ? max_time_limit : v < 0 ? 0 : v) : 0));
    }
    return 0;
}
