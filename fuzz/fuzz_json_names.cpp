// The JSON writer's port names: whatever bytes a device prefix holds, the name written between quotes
// is a valid JSON string (escapes and UTF-8 both) that reads back as the same bytes.
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "loop.h"
#include "model/chnl.h"
#include "platform/ui/cli/cli.h"

using namespace zentrel;

namespace {

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict reading of a JSON string body (RFC 8259): well-formed UTF-8, no raw control characters,
// only the defined escapes. Escapes below U+0100 read back as that one byte, the way the writer
// makes them; false when the text is not valid.
bool read_json_string(const std::string& s, std::string* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x20 || c == '"') return false;
        if (c == '\\') {
            if (i + 1 >= n) return false;
            char e = static_cast<char>(p[i + 1]);
            const char* simple = "\"\\/bfnrt";
            const char* simple_to = "\"\\/\b\f\n\r\t";
            if (const char* k = e ? std::strchr(simple, e) : nullptr) {
                *out += simple_to[k - simple];
                i += 2;
                continue;
            }
            if (e != 'u' || i + 6 > n) return false;
            int v = 0;
            for (size_t k = 2; k < 6; k++) {
                int h = hex(static_cast<char>(p[i + k]));
                if (h < 0) return false;
                v = v * 16 + h;
            }
            if (v > 0xFF) return false;  // the writer never needs more
            *out += static_cast<char>(v);
            i += 6;
            continue;
        }
        size_t len = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
        if (len == 0 || i + len > n) return false;
        uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out->append(s, i, len);
        i += len;
    }
    return true;
}

}  // namespace

// Input: four bytes of port number, then the device prefix (as long as a port path allows).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int32_t nbr;
    std::memcpy(&nbr, data, 4);
    std::string prefix(reinterpret_cast<const char*>(data + 4), size - 4);
    prefix = prefix.substr(0, std::strlen(prefix.c_str()));
    prefix = prefix.substr(0, com_link_size - 12);
    std::snprintf(devLink, sizeof devLink, "%s", prefix.c_str());
    char label[80];
    port_label(label, sizeof label, nbr);
    const std::string escaped = cli::json_escape(label);
    std::string back;
    FUZZ_CHECK(read_json_string(escaped, &back));
    FUZZ_CHECK(back == label);
    // Any text at all, not only labels (message texts, future names).
    std::string raw(reinterpret_cast<const char*>(data), size);
    back.clear();
    FUZZ_CHECK(read_json_string(cli::json_escape(raw), &back));
    FUZZ_CHECK(back == raw);
    return 0;
}
