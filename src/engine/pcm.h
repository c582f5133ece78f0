// The PCM buffer: interleaved signed 16-bit samples in one malloc block.
// Its rate and channel count travel beside it; `frames` counts sample frames.
#pragma once
#include <cstdint>

#include "engine/owners.h"

using pcm_ptr = heap_ptr<int16_t>;

// Reallocates the block to exactly cap frames (of `channels` samples). On
// failure returns -1, leaves the block as it was and stores the byte count
// asked for in *bytes.
int pcm_grow_to(pcm_ptr& pcm, int64_t* capacity, int64_t cap, int channels, double* bytes);

// Receives each block of a chain's output (or a decoder's), as interleaved
// 16-bit samples. Returns 0, or -1 (after set_err) to stop the run.
using pcm_sink_fn = int (*)(void* ctx, const int16_t* pcm, int64_t frames);

// Gathers interleaved blocks into one buffer, growing it by half; a
// pcm_collect target. limit: the bytes it may reach (0: no limit). tap,
// when set, sees each block too, once it is kept.
struct pcm_collector {
    pcm_ptr pcm;
    int64_t capacity = 0;
    int64_t frames = 0;
    int channels = 0;
    double limit = 0;
    pcm_sink_fn tap = nullptr;
    void* tap_ctx = nullptr;
};

// Appends frames to the pcm_collector ctx; -1 (message set) past its limit
// or out of memory.
int pcm_collect(void* ctx, const int16_t* pcm, int64_t frames);

// Converts the samples of one decoded or filtered frame to interleaved
// 16-bit, writing channels 0..out_channels-1 of each of its nb_samples
// frames to dst. Packed input is read with the frame's own channel stride.
// Returns -1 for a sample format without a conversion (nothing is set).
int frame_to_s16(const AVFrame* frame, int out_channels, int16_t* dst);

// Float rule shared with the denoise stage: x * 32767, clipped, truncated.
inline int16_t float_to_s16(double x) {
    double v = x * 32767.0;
    if (v > 32767.0) return 32767;
    if (v < -32768.0) v = -32768.0;
    return static_cast<int16_t>(v);
}
