// Two-pass EBU R128 loudness normalisation with FFmpeg's loudnorm.
#pragma once
#include <cstddef>
#include <cstdint>

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

// Analysis pass over pcm; fills *m from the JSON report loudnorm logs.
int loudnorm_first_pass(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                        double target, loudnorm_measured* m);

// Reads the report out of captured log text (from its first "{").
int loudnorm_parse(const char* log, double target, loudnorm_measured* m);

// The linear second-pass filter text.
void loudnorm_second_pass(char* buf, size_t size, double target, const loudnorm_measured& m);

// The one-pass (dynamic) filter text. The analysis pass runs this form, and
// the second pass falls back to it when the linear gain would lift the true
// peak over the ceiling.
void loudnorm_dynamic(char* buf, size_t size, double target);
