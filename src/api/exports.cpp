// The five exported functions. Each working call reads the environment's
// settings once as it starts and hands them down, and catches everything
// thrown inside, so no exception crosses the C boundary.
#include <cstdio>

extern "C" {
#include <libavformat/version.h>
}

#include "analysis/log_capture.h"
#include "api/answers.h"
#include "audioenhancer.h"
#include "base/error.h"
#include "base/lists.h"
#include "base/settings.h"

// Runs one working call with the settings as the environment gives them
// now: FFmpeg's messages go to the library's log callback from its first
// step on, nothing thrown escapes, and the calling thread's error text
// becomes the one audioenhancer_last_error returns.
template <typename Fn>
static int working_call(Fn&& fn) noexcept {
    int rc = guarded_all([&] {
        const settings cfg = settings_from_env();
        log_install();
        return fn(cfg);
    });
    publish_err();
    return rc;
}

extern "C" {

AUDIOENHANCER_API const char* audioenhancer_version(void) {
    static char v[160];
    std::snprintf(v, sizeof v, "%s (libavformat %d.%d.%d, RNNoise)", AUDIOENHANCER_VERSION,
                  LIBAVFORMAT_VERSION_MAJOR, LIBAVFORMAT_VERSION_MINOR,
                  LIBAVFORMAT_VERSION_MICRO);
    return v;
}

AUDIOENHANCER_API const char* audioenhancer_last_error(void) { return g_last_error; }

AUDIOENHANCER_API int audioenhancer_probe(const char* path, const char** out_json) {
    return working_call([&](const settings& cfg) { return probe_file(path, cfg, out_json); });
}

AUDIOENHANCER_API int audioenhancer_enhance(const char* in_path, const char* out_path,
                                            const char* options, const char** out_json) {
    return working_call([&](const settings& cfg) {
        return enhance_file(in_path, out_path, options, cfg, out_json);
    });
}

AUDIOENHANCER_API int audioenhancer_batch(const char* in_dir, const char* out_dir,
                                          const char* options, const char** out_json) {
    return working_call([&](const settings& cfg) {
        return batch_dir(in_dir, out_dir, options, cfg, out_json);
    });
}

}  // extern "C"
