// Loudness, true peak and noise floor of a PCM buffer.
#pragma once
#include <cstdint>

// -999.0 marks a figure not found; anything at or below -900 counts as missing.
struct loudness_stats {
    double integrated = -999.0;  // LUFS
    double lra = 0.0;            // LU
    double threshold = -999.0;   // LUFS
    double true_peak = -999.0;   // dBFS
    double noise_floor = -999.0; // dB
};

// Chain the measurement runs.
extern const char* const MEASURE_CHAIN;

int measure_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                loudness_stats* out);

// Parses ebur128/astats log text into *out (reset to the unset values first).
// Returns 0 when an integrated loudness of -900 or more was read.
int parse_measurement(const char* text, loudness_stats* out);
