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

// Analysis pass over pcm; fills *m from the JSON report loudnorm logs.
int loudnorm_first_pass(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                        double target, loudnorm_measured* m);

// Reads the report out of captured log text (from its first "{").
int loudnorm_parse(const char* log, double target, loudnorm_measured* m);

// The linear second-pass filter text.
void loudnorm_second_pass(char* buf, size_t size, double target, const loudnorm_measured& m);
