#include "enhance/loudnorm.h"

#include <cstdio>

double loudnorm_target(double target) {
    if (!(target >= -70.0)) return -70.0;  // NaN too
    return target > -5.0 ? -5.0 : target;
}

void loudnorm_dynamic(char* buf, size_t size, double target) {
    std::snprintf(buf, size, "loudnorm=I=%.1f:TP=-1.5:LRA=11", loudnorm_target(target));
}

void loudnorm_second_pass(char* buf, size_t size, double target, const loudnorm_measured& m) {
    std::snprintf(buf, size,
                  "loudnorm=I=%.1f:TP=-1.5:LRA=11:measured_I=%.2f:measured_TP=%.2f:"
                  "measured_LRA=%.2f:measured_thresh=%.2f:offset=%.2f:linear=true:dual_mono=false",
                  loudnorm_target(target), m.input_i, m.input_tp, m.input_lra, m.input_thresh,
                  m.target_offset);
}
