#include "enhance/loudnorm.h"

#include <cstdio>
#include <cstring>

#include "analysis/log_capture.h"
#include "api/error.h"

double loudnorm_target(double target) {
    if (!(target >= -70.0)) return -70.0;  // NaN too
    return target > -5.0 ? -5.0 : target;
}

int loudnorm_parse(const char* log, double target, loudnorm_measured* m) {
    const char* json = std::strchr(log, '{');
    if (!json) {
        set_err("loudnorm did not print JSON");
        return -1;
    }
    if (json_num(json, "\"input_i\"", &m->input_i) != 0 ||
        json_num(json, "\"input_tp\"", &m->input_tp) != 0 ||
        json_num(json, "\"input_lra\"", &m->input_lra) != 0 ||
        json_num(json, "\"input_thresh\"", &m->input_thresh) != 0) {
        set_err("loudnorm JSON missing fields");
        return -1;
    }
    if (json_num(json, "\"target_offset\"", &m->target_offset) != 0)
        m->target_offset = loudnorm_target(target) - m->input_i;
    return 0;
}

void loudnorm_dynamic(char* buf, size_t size, double target) {
    std::snprintf(buf, size, "loudnorm=I=%.1f:TP=-1.5:LRA=11", loudnorm_target(target));
}

int loudnorm_first_pass(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                        double target, loudnorm_measured* m) {
    char text[512];
    loudnorm_dynamic(text, sizeof text, target);
    size_t used = std::strlen(text);
    std::snprintf(text + used, sizeof text - used, ":print_format=json");
    if (capture_chain(text, pcm, frames, sample_rate, channels) != 0) return -1;
    if (debug_on()) write_log_file("ae_lnorm_log.txt");
    return loudnorm_parse(g_logbuf, target, m);
}

void loudnorm_second_pass(char* buf, size_t size, double target, const loudnorm_measured& m) {
    std::snprintf(buf, size,
                  "loudnorm=I=%.1f:TP=-1.5:LRA=11:measured_I=%.2f:measured_TP=%.2f:"
                  "measured_LRA=%.2f:measured_thresh=%.2f:offset=%.2f:linear=true:dual_mono=false",
                  loudnorm_target(target), m.input_i, m.input_tp, m.input_lra, m.input_thresh,
                  m.target_offset);
}
