// The options parser on arbitrary text: strict JSON or a message, and every
// accepted document maps into the documented ranges.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    enhance_options opt;
    clear_err();
    if (parse_options(text.c_str(), &opt) != 0) {
        if (!g_err[0]) std::abort();
        return 0;
    }
    bool eq_ok = false;
    for (const char* name : {"podcast", "music", "voice", "none"})
        eq_ok = eq_ok || std::strcmp(opt.eq, name) == 0;
    if (opt.denoise < 0 || opt.denoise > 10 || !(opt.target_lufs >= -70.0 && opt.target_lufs <= 0.0) ||
        (opt.loudnorm | 1) != 1 || (opt.repair_clicks | 1) != 1 || (opt.normalize_peak | 1) != 1 ||
        !eq_ok) {
        std::fprintf(stderr, "out of range: denoise %d target %g eq %s\n", opt.denoise,
                     opt.target_lufs, opt.eq);
        std::abort();
    }
    return 0;
}
