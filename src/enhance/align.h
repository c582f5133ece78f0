// Sample alignment of filter-chain stages. Some FFmpeg filters hand their
// output back later than its input (afftdn by its analysis window); the
// chain runner compensates by the delay measured here.
#pragma once
#include <cstdint>

#include "base/settings.h"

// Frames by which the filter chain text `piece` delays audio at sample_rate
// (negative if it runs ahead). Measured the first time a piece is asked for
// at a rate, by cross-correlating a noise probe with the piece's output after
// settle_s seconds of it (time for adaptive or look-ahead stages to reach
// their steady state), and cached for the process; safe to call from several
// threads at once. The
// delay does not depend on the channel count: every stage treats its
// channels alike, nor on the threads cfg lets the probe's run use. -1 and
// g_err when the piece cannot run or its output does not follow the probe.
int stage_delay(const char* piece, int sample_rate, double settle_s,
                int64_t* frames);

// The lag in [-max_lag, max_lag] at which `out` best matches `ref`, both
// interleaved with `channels` channels and compared on channel 0: out[i + lag]
// against ref[i] for i in [start, start + length) (out is taken as silent
// outside its frames). *score receives the normalised correlation at that
// lag, 1.0 for an exact copy and near 0 for unrelated audio.
int64_t best_lag(const int16_t* ref, int64_t ref_frames, const int16_t* out, int64_t out_frames,
                 int channels, int64_t start, int64_t length, int64_t max_lag, double* score);
