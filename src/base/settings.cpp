#include "base/settings.h"

#include <cstdlib>
#include <cstring>

settings settings_from_env() {
    settings s;
    const char* threads = std::getenv("AE_THREADS");
    if (threads && std::strcmp(threads, "1") == 0) s.threads = 1;
    if (const char* v = std::getenv("AE_MAX_DECODED_MB")) {
        char* end = nullptr;
        double mb = std::strtod(v, &end);
        if (end != v && mb > 0) s.max_decoded_mb = mb;
    }
    s.debug = std::getenv("AE_DEBUG") != nullptr;
    s.debug_frames = std::getenv("AE_DEBUG2") != nullptr;
    return s;
}

const settings& process_settings() {
    static const settings once = settings_from_env();
    return once;
}
