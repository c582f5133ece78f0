#include "analysis/measure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "analysis/log_capture.h"
#include "api/error.h"

// framelog=verbose keeps ebur128's ten lines a second out of the capture,
// so an hour-long recording measures like a short one.
const char* const MEASURE_CHAIN = "ebur128=peak=true:framelog=verbose,astats=metadata=0";

// Last occurrence of needle in text, searching again `step` past each hit
// (never past the end of the text).
static const char* find_last(const char* text, const char* needle, size_t step) {
    const char* last = nullptr;
    for (const char* p = std::strstr(text, needle); p; p = std::strstr(p + strnlen(p, step), needle))
        last = p;
    return last;
}

int parse_measurement(const char* text, loudness_stats* out) {
    *out = loudness_stats{};
    const char* summary = find_last(text, "Summary:", 1);
    if (summary) {
        const char* integrated = std::strstr(summary, "Integrated loudness");
        const char* range = std::strstr(summary, "Loudness range");
        const char* peak = std::strstr(summary, "True peak");
        parse_label(integrated, "I:", &out->integrated);
        parse_label(integrated, "Threshold:", &out->threshold);
        parse_label(range, "LRA:", &out->lra);
        parse_label(peak, "Peak:", &out->true_peak);

        const char* floor = find_last(text, "Noise floor dB", 16);
        if (floor) {
            // Past the label, its colon and a blank, but never past the text.
            size_t rest = std::strlen(floor);
            const char* p = floor + (rest < 16 ? rest : 16);
            while (*p == ' ' || *p == '\t') p++;
            out->noise_floor = std::strtod(p, nullptr);
        }
        if (!(out->integrated < -900.0)) return 0;
        if (debug_on()) std::fprintf(stderr, "[AE] no I: in log (first 400): %.*s\n", 400, text);
    }
    if (debug_on()) std::fprintf(stderr, "[AE] parse failed\n");
    return -1;
}

int measure_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                loudness_stats* out) {
    int rc = capture_chain(MEASURE_CHAIN, pcm, frames, sample_rate, channels);
    if (rc == CAPTURE_RUN_FAILED && debug_on())
        std::fprintf(stderr, "[AE] graph_run: %s\n", g_err);
    if (rc != 0) return -1;
    if (debug_on()) {
        write_log_file("ae_debug_log.txt");
        std::fprintf(stderr, "[AE] logpos=%zu\n", static_cast<size_t>(g_logpos));
    }
    return parse_measurement(g_logbuf, out);
}
