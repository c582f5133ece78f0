#include "engine/decoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

#include "base/error.h"
#include "platform/fs.h"

namespace {

// Opens path's container and reads what its streams hold.
int open_input(const char* path, input_format_ptr* fmt) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path, nullptr, nullptr) < 0) {
        set_err("cannot open input %s", path);
        return -1;
    }
    fmt->reset(raw);
    if (avformat_find_stream_info(fmt->get(), nullptr) < 0) {
        set_err("cannot read stream info %s", path);
        return -1;
    }
    return 0;
}

int pick_audio_stream(AVFormatContext* fmt, const char* path, int* index) {
    *index = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (*index < 0) {
        set_err("no audio stream in %s", path);
        return -1;
    }
    return 0;
}

}  // namespace

int open_codec_decoder(const AVCodecParameters* par, const char* path, codec_context_ptr* dec) {
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        set_err("no decoder for codec id %d", static_cast<int>(par->codec_id));
        return -1;
    }
    dec->reset(avcodec_alloc_context3(codec));
    if (!*dec) {
        set_err("oom");
        return -1;
    }
    if (avcodec_parameters_to_context(dec->get(), par) < 0) {
        set_err("oom");
        return -1;
    }
    if (avcodec_open2(dec->get(), codec, nullptr) < 0) {
        set_err("cannot open decoder for %s", path);
        return -1;
    }
    // Far above any real recording's rate the filters fail to configure and
    // FFmpeg crashes freeing them (a fuzzed WAV header found it).
    if ((*dec)->sample_rate < 1 || (*dec)->sample_rate > 768000) {
        set_err("unsupported sample rate %d in %s", (*dec)->sample_rate, path);
        return -1;
    }
    return 0;
}

namespace {

// Fills in what the open state's stream is: rate, channels, length, names.
void describe_stream(decoder_state* st, int index) {
    const AVFormatContext* fmt = st->fmt.get();
    const AVStream* stream = fmt->streams[index];
    st->stream_index = index;
    st->sample_rate = st->dec->sample_rate;
    int ch = st->dec->ch_layout.nb_channels;
    st->channels = (ch >= 1 && ch <= 8) ? ch : 1;
    if (fmt->duration > 0)
        st->duration_s = fmt->duration / 1000000.0;
    else if (stream->duration > 0)
        st->duration_s = stream->duration * av_q2d(stream->time_base);
    std::snprintf(st->codec, sizeof st->codec, "%s", avcodec_get_name(stream->codecpar->codec_id));
    std::snprintf(st->format, sizeof st->format, "%s",
                  fmt->iformat ? fmt->iformat->name : "unknown");
}

}  // namespace

int decode_open(decoder_state* st, const char* path) {
    *st = decoder_state{};
    // The owners stay local until every step has worked, so a failure
    // leaves *st empty.
    input_format_ptr fmt;
    int index = 0;
    if (open_input(path, &fmt) != 0 || pick_audio_stream(fmt.get(), path, &index) != 0) return -1;
    codec_context_ptr dec;
    if (open_codec_decoder(fmt->streams[index]->codecpar, path, &dec) != 0) return -1;
    frame_ptr frame(av_frame_alloc());
    if (!frame) {
        set_err("oom");
        return -1;
    }
    st->fmt = std::move(fmt);
    st->dec = std::move(dec);
    st->frame = std::move(frame);
    describe_stream(st, index);
    return 0;
}

double decoded_limit_bytes(const settings& cfg) {
    if (cfg.max_decoded_mb > 0) return cfg.max_decoded_mb * 1048576.0;
    uint64_t avail = fs_available_memory();
    return avail ? static_cast<double>(avail) : 1e300;
}

namespace {

// Where decoded frames go: converted into scratch, then to the sink.
struct frame_target {
    pcm_sink_fn fn = nullptr;
    void* ctx = nullptr;
    heap_ptr<int16_t> scratch;
    int64_t scratch_cap = 0;
};

const char* format_name(int format) {
    const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(format));
    return name ? name : "unknown";
}

// Converts the state's current frame and hands it on.
int deliver(decoder_state* st, frame_target* t, int64_t* frames) {
    const AVFrame* f = st->frame.get();
    if (f->nb_samples > t->scratch_cap &&
        pcm_grow_to(t->scratch, &t->scratch_cap, f->nb_samples, st->channels, nullptr) != 0) {
        set_err("oom");
        return -1;
    }
    if (frame_to_s16(f, st->channels, t->scratch.get()) != 0) {
        set_err("unsupported decoded sample format %s", format_name(f->format));
        return -1;
    }
    *frames += f->nb_samples;
    return t->fn(t->ctx, t->scratch.get(), f->nb_samples);
}

// Receives every frame the decoder has ready. Returns 0 when it wants more
// input or is drained, -1 on an error.
int receive_frames(decoder_state* st, frame_target* t, int64_t* frames, bool draining) {
    for (;;) {
        int rc = avcodec_receive_frame(st->dec.get(), st->frame.get());
        if (rc != 0) {
            if (draining || rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
            char text[64];
            av_strerror(rc, text, sizeof text);
            set_err("receive_frame: %s", text);
            return -1;
        }
        int ok = deliver(st, t, frames);
        av_frame_unref(st->frame.get());
        if (ok != 0) return -1;
    }
}

}  // namespace

int decode_each(decoder_state* st, pcm_sink_fn fn, void* ctx, int64_t* out_frames) {
    packet_ptr pkt(av_packet_alloc());
    if (!pkt) {
        set_err("oom");
        return -1;
    }
    frame_target t;
    t.fn = fn;
    t.ctx = ctx;
    int64_t frames = 0;

    // A read error mid-file ends the reading like the end of the file does.
    while (av_read_frame(st->fmt.get(), pkt.get()) >= 0) {
        if (pkt->stream_index != st->stream_index) {
            av_packet_unref(pkt.get());
            continue;
        }
        int rc = avcodec_send_packet(st->dec.get(), pkt.get());
        av_packet_unref(pkt.get());
        if (rc < 0) {
            set_err("send_packet failed");
            return -1;
        }
        if (receive_frames(st, &t, &frames, false) != 0) return -1;
    }
    // A decoder that cannot drain would drop its last frames unseen.
    int drained = avcodec_send_packet(st->dec.get(), nullptr);
    if (drained < 0 && drained != AVERROR_EOF) {
        set_err("send_packet failed");
        return -1;
    }
    if (receive_frames(st, &t, &frames, true) != 0) return -1;

    if (frames <= 0) {
        set_err("no audio data decoded from %s", st->fmt->url);
        return -1;
    }
    *out_frames = frames;
    return 0;
}

int decode_all(decoder_state* st, const settings& cfg, pcm_ptr* out, int64_t* out_frames,
               pcm_sink_fn tap, void* tap_ctx) {
    pcm_collector c;
    c.channels = st->channels;
    c.tap = tap;
    c.tap_ctx = tap_ctx;
    c.limit = decoded_limit_bytes(cfg);
    // The declared length (plus a little) sizes the first block; a false
    // declaration costs nothing, since the block is never larger than the
    // limit and grows as the audio really arrives.
    if (st->duration_s > 0 && st->sample_rate > 0) {
        double declared = st->duration_s * st->sample_rate + 8192.0;
        double most = c.limit / (2.0 * c.channels);
        int64_t first = static_cast<int64_t>(declared < most ? declared : most);
        if (first > 0 && pcm_grow_to(c.pcm, &c.capacity, first, c.channels, nullptr) != 0)
            c.capacity = 0;  // the growth below asks again
    }
    int64_t frames = 0;
    if (decode_each(st, pcm_collect, &c, &frames) != 0) return -1;
    *out = std::move(c.pcm);
    *out_frames = frames;
    return 0;
}

int check_input_file(const char* path) {
    uint32_t attrs = fs_file_attributes(path);
    if (attrs == FS_INVALID_ATTRIBUTES || (attrs & (FS_ATTR_DIRECTORY | FS_ATTR_DEVICE))) {
        set_err("file not found: %s", path);
        return -1;
    }
    return 0;
}
