// RNNoise denoise stage.
#pragma once
#include "engine/pcm.h"

struct DenoiseState;
// This thread's RNNoise instance, null when none exists.
extern thread_local DenoiseState* g_rn;

// Destroys this thread's g_rn if one exists.
void release_denoiser();

// Denoises pcm at `level` (1..10); the result has the input's rate and
// channel count.
int denoise_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels, int level,
                pcm_ptr* out, int64_t* out_frames);
