// Decoding a whole input file into the PCM buffer.
#pragma once
#include "base/settings.h"
#include "engine/graph.h"
#include "engine/pcm.h"

// One open input. Members release themselves in the order frame, decoder,
// demuxer when the state goes out of scope or is reset.
struct decoder_state {
    input_format_ptr fmt;
    codec_context_ptr dec;
    frame_ptr frame;
    int stream_index = 0;
    int sample_rate = 0;
    int channels = 0;       // 1..8; inputs with more are reduced to channel 0
    double duration_s = 0.0;
    char codec[64] = "";
    char format[64] = "";
};

// Opens path and its best audio stream's decoder into *st (reset first).
int decode_open(decoder_state* st, const char* path);

// Opens a decoder for par (what a stream, or an encoder, says of itself);
// what names the source in the messages.
int open_codec_decoder(const AVCodecParameters* par, const char* what, codec_context_ptr* dec);

// Decodes the whole stream; on success *pcm holds frames * channels samples.
// Fails with a clear message as soon as the decoded PCM would pass what the
// machine can hold: the physical memory available now, or the call's
// max_decoded_mb (AE_MAX_DECODED_MB) when set.
// tap, when given, sees each block of samples as it is kept.
int decode_all(decoder_state* st, const settings& cfg, pcm_ptr* pcm, int64_t* frames,
               pcm_sink_fn tap = nullptr, void* tap_ctx = nullptr);

// Decodes the whole stream, handing each decoded frame to fn as 16-bit
// samples (nothing is kept). Fails like decode_all when nothing decodes.
int decode_each(decoder_state* st, pcm_sink_fn fn, void* ctx, int64_t* frames);

// Bytes the decoded PCM of one call may take (see decode_all).
double decoded_limit_bytes(const settings& cfg);

// 0 when path names an existing non-directory, else -1 with
// "file not found: <path>": the check every working call makes first.
int check_input_file(const char* path);
