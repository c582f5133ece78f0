#include "enhance/denoise.h"

#include <rnnoise.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "base/error.h"
#include "engine/graph.h"

static thread_local DenoiseState* t_rn = nullptr;

const DenoiseState* denoiser_instance() { return t_rn; }

void release_denoiser() {
    if (t_rn) rnnoise_destroy(t_rn);
    t_rn = nullptr;
}

namespace {

constexpr int FRAME = 480;
constexpr int RATE = 48000;
constexpr float FROM_S16 = 0.000030517578125f;  // 2^-15
// RNNoise is trained on the 16-bit range; at +-1.0 it hardly touches noise.
constexpr float RN_IN = 32768.0f;
// Its output trails its input by two frames (measured on impulses, chirps
// and speech); the stage pushes that many frames more and drops as much.
constexpr int LAG = 2 * FRAME;

using channel_signals = std::vector<std::vector<float>>;

int create_instance() {
    if (t_rn) return 0;
    t_rn = rnnoise_create(nullptr);
    if (!t_rn) {
        set_err("rnnoise_create failed");
        return -1;
    }
    int size = rnnoise_get_frame_size();
    if (size != FRAME) {
        set_err("unexpected rnnoise frame size %d", size);
        release_denoiser();
        return -1;
    }
    return 0;
}

void split(const int16_t* pcm, int64_t frames, int channels, channel_signals* out) {
    out->assign(static_cast<size_t>(channels), std::vector<float>());
    for (int c = 0; c < channels; c++) {
        std::vector<float>& ch = (*out)[c];
        ch.resize(static_cast<size_t>(frames));
        const int16_t* s = pcm + c;
        for (int64_t i = 0; i < frames; i++, s += channels) ch[i] = *s * FROM_S16;
    }
}

// Interleaves to 16-bit over `frames` frames; a shorter channel holds its
// last sample.
void interleave(const channel_signals& sig, int64_t frames, int16_t* dst) {
    const int channels = static_cast<int>(sig.size());
    for (int c = 0; c < channels; c++) {
        const std::vector<float>& ch = sig[c];
        const int64_t n = static_cast<int64_t>(ch.size());
        int16_t* d = dst + c;
        for (int64_t i = 0; i < frames; i++, d += channels) {
            float v = i < n ? ch[i] : (n > 0 ? ch[n - 1] : 0.0f);
            *d = float_to_s16(v);
        }
    }
}

// Mixes the whole frames of one channel in place; a tail shorter than a
// frame stays as it is.
void denoise_channel(std::vector<float>* ch, float a) {
    const int64_t n = static_cast<int64_t>(ch->size());
    const int64_t whole = n / FRAME * FRAME;
    if (whole == 0) return;
    float* x = ch->data();
    const float keep = 1.0f - a;
    float in[FRAME], den[FRAME];
    // Frame k's output holds the denoised samples of frame k - LAG/FRAME.
    // Past the last whole frame RNNoise is fed the tail, then zeros.
    const int64_t calls = whole / FRAME + LAG / FRAME;
    for (int64_t k = 0; k < calls; k++) {
        const int64_t start = k * FRAME;
        for (int i = 0; i < FRAME; i++) {
            int64_t j = start + i;
            in[i] = j < n ? x[j] * RN_IN : 0.0f;
        }
        rnnoise_process_frame(t_rn, den, in);
        const int64_t at = start - LAG;
        if (at < 0) continue;
        float* o = x + at;
        for (int i = 0; i < FRAME; i++) o[i] = o[i] * keep + den[i] * FROM_S16 * a;
    }
}

// The input as one signal per channel at RNNoise's rate. Resampling runs on
// interleaved 16-bit samples, which is what the filter graph takes.
int signals_at_rnnoise_rate(const int16_t* pcm, int64_t frames, int sample_rate, int channels,
                            channel_signals* sig) {
    split(pcm, frames, channels, sig);
    if (sample_rate == RATE) return 0;
    std::vector<int16_t> packed(static_cast<size_t>(frames) * channels);
    interleave(*sig, frames, packed.data());
    sig->clear();
    pcm_ptr up;
    int64_t up_frames = 0;
    if (run_chain("aresample=48000", packed.data(), frames, sample_rate, channels, &up,
                  &up_frames) != 0) {
        set_err("denoise up-resample graph failed");
        return -1;
    }
    packed = std::vector<int16_t>();
    int64_t limit = frames * RATE / sample_rate + 16;
    split(up.get(), std::min(up_frames, limit), channels, sig);
    return 0;
}

// Denoises every channel at strength level (0..10); *longest is then the
// longest channel's length.
int denoise_signals(channel_signals* sig, int level, int64_t* longest) {
    const float a = static_cast<float>(level) / 10.0f;
    *longest = 0;
    for (std::vector<float>& ch : *sig) {
        denoise_channel(&ch, a);
        *longest = std::max(*longest, static_cast<int64_t>(ch.size()));
    }
    if (*longest == 0) {
        set_err("denoise produced no samples");
        return -1;
    }
    return 0;
}

// The signals as one interleaved block of `frames` frames; they are freed
// once it is written.
int interleave_signals(channel_signals* sig, int64_t frames, int channels, pcm_ptr* mixed) {
    const size_t bytes = static_cast<size_t>(frames) * channels * sizeof(int16_t);
    mixed->reset(static_cast<int16_t*>(std::malloc(bytes)));
    if (!*mixed) {
        set_err("oom");
        return -1;
    }
    interleave(*sig, frames, mixed->get());
    *sig = channel_signals();
    return 0;
}

// The denoised 48 kHz block (*mixed, freed here) at the input's rate and its
// exact length of `frames`: the two resamplings may leave a frame over, or
// one short, which is made up with silence.
int back_to_input_rate(pcm_ptr* mixed, int64_t mixed_frames, int64_t frames, int sample_rate,
                       int channels, pcm_ptr* out, int64_t* out_frames) {
    char chain[32];
    std::snprintf(chain, sizeof chain, "aresample=%d", sample_rate);
    pcm_ptr back;
    int64_t back_frames = 0;
    if (run_chain(chain, mixed->get(), mixed_frames, RATE, channels, &back, &back_frames) != 0) {
        set_err("denoise back-resample graph failed");
        return -1;
    }
    mixed->reset();
    const int64_t kept = std::min(back_frames, frames);
    if (kept <= 0) {
        set_err("no samples after back-resample");
        return -1;
    }
    void* exact =
        std::realloc(back.get(), static_cast<size_t>(frames) * channels * sizeof(int16_t));
    if (!exact) {
        set_err("oom");
        return -1;
    }
    (void)back.release();
    out->reset(static_cast<int16_t*>(exact));
    std::fill(out->get() + kept * channels, out->get() + frames * channels, int16_t{0});
    *out_frames = frames;
    return 0;
}

int denoise_impl(const int16_t* pcm, int64_t frames, int sample_rate, int channels, int level,
                 pcm_ptr* out, int64_t* out_frames) {
    if (create_instance() != 0) return -1;
    if (channels < 1 || frames < 0) {
        set_err("denoise produced no samples");
        return -1;
    }
    channel_signals sig;
    if (signals_at_rnnoise_rate(pcm, frames, sample_rate, channels, &sig) != 0) return -1;
    int64_t longest = 0;
    if (denoise_signals(&sig, level, &longest) != 0) return -1;
    pcm_ptr mixed;
    if (interleave_signals(&sig, longest, channels, &mixed) != 0) return -1;
    if (sample_rate == RATE) {
        *out = std::move(mixed);
        *out_frames = longest;
        return 0;
    }
    return back_to_input_rate(&mixed, longest, frames, sample_rate, channels, out, out_frames);
}

}  // namespace

int denoise_pcm(const int16_t* pcm, int64_t frames, int sample_rate, int channels, int level,
                pcm_ptr* out, int64_t* out_frames) {
    return guarded([&] {
        return denoise_impl(pcm, frames, sample_rate, channels, level, out, out_frames);
    });
}
