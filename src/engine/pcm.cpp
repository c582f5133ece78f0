#include "engine/pcm.h"

#include <cstdint>
#include <cstring>

#include "base/error.h"

int pcm_grow_to(pcm_ptr& pcm, int64_t* capacity, int64_t cap, int channels, double* bytes) {
    size_t size = static_cast<size_t>(cap) * static_cast<size_t>(channels) * sizeof(int16_t);
    void* block = std::realloc(pcm.get(), size);
    if (!block) {
        if (bytes) *bytes = static_cast<double>(size);
        return -1;
    }
    (void)pcm.release();
    pcm.reset(static_cast<int16_t*>(block));
    *capacity = cap;
    return 0;
}

int pcm_collect(void* ctx, const int16_t* pcm, int64_t frames) {
    pcm_collector* c = static_cast<pcm_collector*>(ctx);
    const int64_t need = c->frames + frames;
    if (need > c->capacity) {
        const double bytes_per_frame = 2.0 * c->channels;
        if (c->limit > 0 && need * bytes_per_frame > c->limit) {
            set_err("decoded audio would need more than %.0f MB, the memory available "
                    "(AE_MAX_DECODED_MB sets the limit)",
                    c->limit / 1048576.0);
            return -1;
        }
        // Grow by half, never past the limit.
        int64_t want = c->capacity + c->capacity / 2;
        int64_t most = c->limit > 0 ? static_cast<int64_t>(c->limit / bytes_per_frame) : INT64_MAX;
        if (want > most) want = most;
        if (want < need) want = need;
        if (want < 0x10000) want = 0x10000;
        if (want > most) want = need;
        double bytes = 0;
        if (pcm_grow_to(c->pcm, &c->capacity, want, c->channels, &bytes) != 0) {
            set_err("oom (%.0f MB needed)", bytes / 1048576.0);
            return -1;
        }
    }
    std::memcpy(c->pcm.get() + c->frames * c->channels, pcm,
                static_cast<size_t>(frames) * c->channels * sizeof(int16_t));
    c->frames = need;
    return c->tap ? c->tap(c->tap_ctx, pcm, frames) : 0;
}

namespace {

inline int16_t from_u8(uint8_t u) { return static_cast<int16_t>((u - 128) * 0.0078125 * 32767.0); }
inline int16_t from_s32(int32_t s) { return static_cast<int16_t>(s * 4.656612873077393e-10 * 32767.0); }
inline int16_t from_s16(int16_t s) { return s; }
inline int16_t from_flt(float x) { return float_to_s16(x); }
inline int16_t from_dbl(double x) { return float_to_s16(x); }

// Packed input: frame i, channel c sits at i * stride + c.
template <typename T, int16_t (*conv)(T)>
void packed(const AVFrame* f, int stride, int out_ch, int16_t* dst) {
    const T* src = reinterpret_cast<const T*>(f->data[0]);
    for (int i = 0; i < f->nb_samples; i++)
        for (int c = 0; c < out_ch; c++) dst[i * out_ch + c] = conv(src[i * stride + c]);
}

// Planar input: one plane per channel.
template <typename T, int16_t (*conv)(T)>
void planar(const AVFrame* f, int out_ch, int16_t* dst) {
    for (int c = 0; c < out_ch; c++) {
        const T* src = reinterpret_cast<const T*>(f->extended_data[c]);
        for (int i = 0; i < f->nb_samples; i++) dst[i * out_ch + c] = conv(src[i]);
    }
}

}  // namespace

int frame_to_s16(const AVFrame* f, int out_ch, int16_t* dst) {
    int stride = f->ch_layout.nb_channels;
    // A frame must carry every channel it is asked for.
    if (stride < out_ch) return -1;
    switch (f->format) {
    case AV_SAMPLE_FMT_U8: packed<uint8_t, from_u8>(f, stride, out_ch, dst); break;
    case AV_SAMPLE_FMT_S16:
        if (stride == out_ch)
            std::memcpy(dst, f->data[0], sizeof(int16_t) * f->nb_samples * out_ch);
        else
            packed<int16_t, from_s16>(f, stride, out_ch, dst);
        break;
    case AV_SAMPLE_FMT_S32: packed<int32_t, from_s32>(f, stride, out_ch, dst); break;
    case AV_SAMPLE_FMT_FLT: packed<float, from_flt>(f, stride, out_ch, dst); break;
    case AV_SAMPLE_FMT_DBL: packed<double, from_dbl>(f, stride, out_ch, dst); break;
    case AV_SAMPLE_FMT_S16P: planar<int16_t, from_s16>(f, out_ch, dst); break;
    case AV_SAMPLE_FMT_S32P: planar<int32_t, from_s32>(f, out_ch, dst); break;
    case AV_SAMPLE_FMT_FLTP: planar<float, from_flt>(f, out_ch, dst); break;
    case AV_SAMPLE_FMT_DBLP: planar<double, from_dbl>(f, out_ch, dst); break;
    default: return -1;
    }
    return 0;
}
