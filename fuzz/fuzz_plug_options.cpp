// zentrel-plug's command line: any arguments are accepted into a usable set of options, or refused.
#include <cmath>

#include "fuzz_util.h"
#include "plug.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_args a("zentrel-plug", data, size);
    zplug::options o;
    std::string error;
    zplug::args_result r = zplug::parse_args(a.argc(), a.argv.data(), &o, &error);
    if (r != zplug::args_ok) {
        FUZZ_CHECK(r == zplug::args_help || r == zplug::args_invalid);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(!o.dir.empty());
    FUZZ_CHECK(o.count >= 1 && o.count <= 256);
    FUZZ_CHECK(o.first >= 0 && o.first <= 1000000);
    FUZZ_CHECK(std::isfinite(o.corrupt) && o.corrupt >= 0 && o.corrupt <= 1);
    FUZZ_CHECK(std::isfinite(o.drop) && o.drop >= 0 && o.drop <= 1);
    return 0;
}
