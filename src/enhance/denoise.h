// RNNoise denoise stage.
#pragma once
#include "base/settings.h"
#include "engine/pcm.h"

// Each thread has one RNNoise instance, made by its first denoise and kept
// for the stages after it until released.
struct DenoiseState;
// This thread's instance, null when none exists.
const DenoiseState* denoiser_instance();

// Destroys this thread's instance if one exists.
void release_denoiser();

// Denoises pcm at `level` (1..10); the result has the input's rate and
// channel count.
int denoise_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels, int level,
                pcm_ptr* out, int64_t* out_frames);
