// Filter texts for FFmpeg's EBU R128 loudnorm.
#pragma once
#include <cstddef>

struct loudnorm_measured {
    double input_i = 0.0;
    double input_tp = 0.0;
    double input_lra = 0.0;
    double input_thresh = 0.0;
    double target_offset = 0.0;
};

// The target the filter texts use: FFmpeg's loudnorm takes -70 to -5 LUFS,
// so a louder target levels to -5 (and a quieter one to -70).
double loudnorm_target(double target);

// The measured pass: loudnorm given the figures of the audio it levels. It
// runs linear where its rule allows and falls back to its dynamic mode
// where it does not.
void loudnorm_second_pass(char* buf, size_t size, double target, const loudnorm_measured& m);

// The one-pass (dynamic) filter text: its timing is the measured pass's.
void loudnorm_dynamic(char* buf, size_t size, double target);
