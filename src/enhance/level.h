// Levelling to the target loudness from one measurement of what reaches the
// leveller: loudnorm's own gain where loudnorm would level linearly, applied
// at the input's rate; where only a few dB of peaks stand in the way, the
// gain into a true-peak limiter that lands on the target; else one dynamic
// loudnorm pass, then, when that pass misses the target, the limiter.
#pragma once
#include <cstdint>

#include "analysis/measure.h"
#include "engine/pcm.h"

// True peak the leveller keeps under (loudnorm's TP), and the written file's.
// For lossy outputs it keeps half a dB lower: their encoders lift the peaks
// of levelled speech by that much.
constexpr double LEVEL_CEILING_DB = -1.5;
constexpr double LOSSY_CEILING_DB = -2.0;
constexpr double FILE_CEILING_DB = -1.0;
// Where the levelled samples land: within 0.03 LU of a point 0.02 LU above
// the target, so that MP3, whose encoder takes a quarter of a dB off, lands
// within 0.3 LU like every other container.
constexpr double LAND_AIM_LU = 0.02;
constexpr double LAND_TOLERANCE_LU = 0.03;
// Deepest the limiter may take the peaks under what the gain asks of them:
// beyond it speech starts to sound squashed, and the output stays below the
// target instead.
constexpr double LIMIT_DEPTH_DB = 9.0;
// Where the gain to the target would lift the peaks at most this far over
// the ceiling (and the range needs no taming), the limiter alone levels.
constexpr double PEAKS_ONLY_DB = 6.0;
// Passes of the search for the limiter's gain (at the input's rate).
constexpr int LIMIT_PASSES = 4;

// loudnorm's rule (af_loudnorm.c): with a valid measurement, linear when
// the gain (target - integrated) keeps the true peak at or under the ceiling
// and the loudness range is at most 11 LU. *gain_db: that gain.
bool level_is_linear(double target, const loudness_stats& m, double* gain_db);

// Scales interleaved samples by gain_db, rounded to the nearest step and
// clipped to 16 bits.
void apply_gain(int16_t* pcm, int64_t samples, double gain_db);

// The level measurement of what the leveller is given or gives. A graph
// that cannot be built or run keeps its own message, as loudnorm's analysis
// pass did; figures that cannot be read fail with "level measurement failed".
int level_measure(const int16_t* pcm, int64_t frames, int rate, int channels,
                  const settings& cfg, loudness_stats* out);

// Moves a measurement by a plain gain: what a gain does to the figures.
void shift_level(loudness_stats* m, double gain_db);

// What level_pcm did, for the debug line.
struct level_report {
    const char* mode = "none";  // "none" (nothing to level), "linear", "limited", "dynamic"
    double gain_db = 0.0;       // linear gain, or the gain into the limiter
    int limiter_passes = 0;
};

// Where the limiter's oversampled pass hands its output as it comes, so
// that the file can be written while the pass runs. whole: set when the
// levelled result is exactly what went there, every block.
struct level_early {
    pcm_sink_fn fn = nullptr;
    void* ctx = nullptr;
    bool whole = false;
};

// Levels *pcm (interleaved at rate and channels; m is its level measurement)
// to target, replacing it; after the dynamic pass the true peak stays under
// ceiling_db. *levelled: the level measurement of the result (m itself,
// moved by the gain, after a plain gain). discard: nothing else reads *pcm,
// so the dynamic pass may give its pages back as it goes. early: see
// level_early.
int level_pcm(pcm_ptr* pcm, int64_t* frames, int rate, int channels, double target,
              double ceiling_db, const loudness_stats& m, bool discard, const settings& cfg,
              loudness_stats* levelled, level_report* report, level_early* early = nullptr);
