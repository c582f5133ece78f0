#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "base/error.h"
#include "base/lists.h"
#include "engine/metadata.h"
#include "engine/writer_state.h"
#include "platform/fs.h"

namespace {

using writer = writer_state;

// The formats an unknown extension's message names, each once: an extension
// with the muxer and encoder of an earlier one (mp4 after m4a) is another
// name for it.
std::string output_hint() {
    std::string hint;
    for (const output_container& c : OUTPUT_CONTAINERS) {
        bool again = false;
        for (const output_container* e = OUTPUT_CONTAINERS; e != &c; e++)
            again = again || (!std::strcmp(e->muxer, c.muxer) && !std::strcmp(e->encoder, c.encoder));
        if (!again) hint += (hint.empty() ? "" : "/") + std::string(c.ext);
    }
    return hint;
}

int64_t bit_rate_for(const char* encoder) {
    if (!std::strcmp(encoder, "libopus")) return 96000;
    if (!std::strcmp(encoder, "libvorbis")) return 160000;
    return 192000;
}

// 16-bit when the encoder takes it, else the first format it lists.
AVSampleFormat pick_format(const AVCodec* codec) {
    if (!codec->sample_fmts) return AV_SAMPLE_FMT_S16;
    for (const AVSampleFormat* f = codec->sample_fmts; *f != AV_SAMPLE_FMT_NONE; f++)
        if (*f == AV_SAMPLE_FMT_S16) return AV_SAMPLE_FMT_S16;
    return codec->sample_fmts[0];
}

// The buffer's rate when the encoder takes it, else the nearest supported
// rate above it, else the highest (Opus has no 44.1 kHz, MP3 nothing above 48).
int pick_rate(const AVCodec* codec, int rate) {
    if (!codec->supported_samplerates) return rate;
    int above = 0, highest = 0;
    for (const int* r = codec->supported_samplerates; *r; r++) {
        if (*r == rate) return rate;
        if (*r > rate && (!above || *r < above)) above = *r;
        if (*r > highest) highest = *r;
    }
    return above ? above : highest;
}

// Unique per process and call, so writers on several threads (and several
// processes in one directory) never share a temporary file.
std::atomic<unsigned long> g_temp_serial{0};

// ".NAME.tmpPID-N.EXT" beside the output: hidden (batch never lists it),
// unique, and ending in the output's extension as the muxers expect.
std::string temp_name_for(const std::string& path, const char* ext) {
    std::string::size_type slash = path.find_last_of(FS_SEP == '/' ? "/" : "/\\");
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 128) name.resize(128);  // room for the suffix within NAME_MAX
    char suffix[80];
    std::snprintf(suffix, sizeof suffix, ".tmp%lu-%lu.%s", fs_process_id(),
                  g_temp_serial.fetch_add(1, std::memory_order_relaxed), ext);
    return dir + "." + name + suffix;
}

// The container and the encoder, opened for rate and channels.
int open_encoder(writer& w, const output_container& kind, const AVOutputFormat* ofmt,
                 const AVCodec* codec, const std::string& temp, int sample_rate, int channels) {
    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, ofmt, kind.muxer, temp.c_str()) < 0 || !oc) {
        set_err("cannot alloc output context for %s", w.path.c_str());
        return -1;
    }
    w.oc.reset(oc);
    w.stream = avformat_new_stream(oc, nullptr);
    if (!w.stream) {
        set_err("oom");
        return -1;
    }
    w.enc.reset(avcodec_alloc_context3(codec));
    if (!w.enc) {
        set_err("oom");
        return -1;
    }
    int rate = pick_rate(codec, sample_rate);
    w.enc->sample_rate = rate;
    av_channel_layout_default(&w.enc->ch_layout, channels);
    w.enc->bit_rate = bit_rate_for(kind.encoder);
    w.enc->sample_fmt = pick_format(codec);
    w.enc->time_base = AVRational{1, rate};
    if (ofmt->flags & AVFMT_GLOBALHEADER) w.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    w.stream->time_base = AVRational{1, rate};
    w.stream->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    if (avcodec_open2(w.enc.get(), codec, nullptr) < 0) {
        set_err("cannot open encoder %s", kind.encoder);
        return -1;
    }
    // Without the encoder's extradata (AAC, FLAC, Vorbis headers) the file
    // would not decode.
    if (avcodec_parameters_from_context(w.stream->codecpar, w.enc.get()) < 0) {
        set_err("oom");
        return -1;
    }
    return 0;
}

// The temporary file, with the source's tags, cover and chapters, up to the
// header.
int open_file(writer& w, const std::string& temp, const AVFormatContext* source) {
    AVFormatContext* oc = w.oc.get();
    int cover = -1;
    if (metadata_carry(oc, source, &cover) != 0) return -1;
    if (!(oc->oformat->flags & AVFMT_NOFILE)) {
        if (avio_open(&oc->pb, temp.c_str(), AVIO_FLAG_WRITE) < 0) {
            set_err("cannot open output file %s", w.path.c_str());
            return -1;
        }
        w.temp = temp;  // exists now: removed again on any failure
    }
    if (avformat_write_header(oc, nullptr) < 0) {
        set_io_err(w, ("write_header failed for " + w.path).c_str());
        return -1;
    }
    return metadata_write_cover(oc, source, cover);
}

// The converter from 16-bit input to the encoder's format and rate, the
// FIFO that cuts its output into the encoder's frames, and that frame.
int open_converter(writer& w, const AVCodec* codec, int sample_rate, int channels) {
    SwrContext* swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &w.enc->ch_layout, w.enc->sample_fmt, w.enc->sample_rate,
                            &w.enc->ch_layout, AV_SAMPLE_FMT_S16, sample_rate, 0, nullptr) < 0 ||
        !swr) {
        set_err("oom");
        return -1;
    }
    w.swr.reset(swr);
    if (swr_init(swr) < 0) {
        set_err("swr_init failed");
        return -1;
    }
    bool variable = codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
    w.frame_size = (w.enc->frame_size > 0 && !variable) ? w.enc->frame_size : 1024;
    w.fifo.reset(av_audio_fifo_alloc(w.enc->sample_fmt, channels, w.frame_size * 4));
    w.frame.reset(av_frame_alloc());
    w.pkt.reset(av_packet_alloc());
    if (!w.fifo || !w.frame || !w.pkt) {
        set_err("oom");
        return -1;
    }
    AVFrame* f = w.frame.get();
    f->nb_samples = w.frame_size;
    f->format = w.enc->sample_fmt;
    f->sample_rate = w.enc->sample_rate;
    if (av_channel_layout_copy(&f->ch_layout, &w.enc->ch_layout) < 0 ||
        av_frame_get_buffer(f, 0) < 0 ||
        reserve_planes(w, swr_get_out_samples(swr, 1024) + 64) < 0) {
        set_err("oom");
        return -1;
    }
    return 0;
}

}  // namespace

int open_writer(writer& w, const char* path, int sample_rate, int channels,
                const AVFormatContext* source) {
    const char* dot = std::strrchr(path, '.');
    const char* ext = dot ? dot + 1 : "";
    const output_container* kind = output_container_of(ext);
    if (!kind) {
        static const std::string hint = output_hint();
        set_err("unsupported output extension .%s (use %s)", ext, hint.c_str());
        return -1;
    }
    const AVOutputFormat* ofmt = av_guess_format(kind->muxer, nullptr, nullptr);
    if (!ofmt) {
        set_err("unknown container %s", kind->muxer);
        return -1;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(kind->encoder);
    if (!codec) {
        set_err("encoder %s not available in this ffmpeg build", kind->encoder);
        return -1;
    }
    w.path = path;
    w.target = fs_final_path(path);
    const std::string temp = temp_name_for(w.target, kind->ext);
    if (open_encoder(w, *kind, ofmt, codec, temp, sample_rate, channels) != 0 ||
        open_file(w, temp, source) != 0)
        return -1;
    return open_converter(w, codec, sample_rate, channels);
}
