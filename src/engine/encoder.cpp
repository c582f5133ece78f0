#include "engine/encoder.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include "base/error.h"
#include "base/lists.h"
#include "engine/metadata.h"
#include "engine/owners.h"
#include "platform/fs.h"

namespace {

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

}  // namespace

// Everything one write holds; members release in reverse order.
struct writer_state {
    std::string path;    // the final name, as the caller gave it
    std::string target;  // the file replaced: path, or the file a link there names
    std::string temp;  // where the samples go until writer_close; "" once moved or removed
    output_format_ptr oc;
    codec_context_ptr enc;
    AVStream* stream = nullptr;
    swr_ptr swr;
    audio_fifo_ptr fifo;
    frame_ptr frame;
    packet_ptr pkt;
    uint8_t** planes = nullptr;  // converter output, reused across pushes
    int planes_room = 0;
    int frame_size = 0;
    int channels = 0;
    int64_t next_pts = 0;
    bool finished = false;  // closed, or failed: nothing more goes in

    ~writer_state() {
        if (planes) av_freep(&planes[0]);
        av_freep(&planes);
    }
};

namespace {

using writer = writer_state;

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

// Releases every FFmpeg object (closing the file) and removes the
// temporary file; the output path is never touched.
void discard(writer& w) {
    w.pkt.reset();
    w.frame.reset();
    w.fifo.reset();
    w.swr.reset();
    w.enc.reset();
    w.oc.reset();
    if (!w.temp.empty()) (void)fs_remove(w.temp.c_str());
    w.temp.clear();
    w.finished = true;
}

// The failure text, with the system's reason when the file itself failed
// (full disk, size limit).
void set_io_err(const writer& w, const char* failure) {
    int e = w.oc && w.oc->pb ? w.oc->pb->error : 0;
    if (e < 0) {
        char why[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(e, why, sizeof why);
        set_err("%s: %s", failure, why);
    } else {
        set_err("%s", failure);
    }
}

// Writes every packet the encoder has ready.
int write_packets(writer& w, const char* failure) {
    for (;;) {
        int rc = avcodec_receive_packet(w.enc.get(), w.pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) {
            set_err("%s", failure);
            return -1;
        }
        av_packet_rescale_ts(w.pkt.get(), w.enc->time_base, w.stream->time_base);
        w.pkt->stream_index = 0;
        rc = av_interleaved_write_frame(w.oc.get(), w.pkt.get());
        av_packet_unref(w.pkt.get());
        // Some muxers only report a failed write at the trailer: stop now.
        if (rc < 0 || (w.oc->pb && w.oc->pb->error < 0)) {
            set_io_err(w, failure);
            return -1;
        }
    }
}

// Sends n frames from the FIFO as one encoder frame (padded with silence
// when the encoder only takes whole frames). The frame's buffer is reused
// unless the encoder still holds it.
int send_from_fifo(writer& w, int n) {
    AVFrame* f = w.frame.get();
    bool whole_only = !(w.enc->codec->capabilities &
                        (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
    f->nb_samples = w.frame_size;
    if (av_frame_make_writable(f) < 0) {
        set_err("oom");
        return -1;
    }
    f->nb_samples = whole_only ? w.frame_size : n;
    if (f->nb_samples > n)
        av_samples_set_silence(f->extended_data, n, f->nb_samples - n, f->ch_layout.nb_channels,
                               w.enc->sample_fmt);
    if (av_audio_fifo_read(w.fifo.get(), reinterpret_cast<void**>(f->extended_data), n) < n) {
        set_err("oom");
        return -1;
    }
    f->pts = w.next_pts;
    w.next_pts += f->nb_samples;
    if (avcodec_send_frame(w.enc.get(), f) < 0) {
        set_err("send_frame failed");
        return -1;
    }
    return write_packets(w, "write_frame failed");
}

// Room for at least room converted frames in w.planes.
int reserve_planes(writer& w, int room) {
    if (room <= w.planes_room) return 0;
    if (w.planes) av_freep(&w.planes[0]);
    av_freep(&w.planes);
    w.planes_room = 0;
    if (av_samples_alloc_array_and_samples(&w.planes, nullptr, w.channels, room,
                                           w.enc->sample_fmt, 0) < 0)
        return -1;
    w.planes_room = room;
    return 0;
}

// Converts n input frames (or flushes the converter when in is null) into
// the FIFO, then encodes every whole encoder frame it holds.
int convert_and_encode(writer& w, const int16_t* in, int n) {
    int room = swr_get_out_samples(w.swr.get(), n);
    if (room < 0) {
        set_err("swr_convert failed");
        return -1;
    }
    if (room > 0) {
        if ((av_audio_fifo_space(w.fifo.get()) < room &&
             av_audio_fifo_realloc(w.fifo.get(), av_audio_fifo_size(w.fifo.get()) + room) < 0) ||
            reserve_planes(w, room) < 0) {
            set_err("oom");
            return -1;
        }
        const uint8_t* src = reinterpret_cast<const uint8_t*>(in);
        int got = swr_convert(w.swr.get(), w.planes, room, in ? &src : nullptr, in ? n : 0);
        if (got < 0) {
            set_err("swr_convert failed");
            return -1;
        }
        if (got > 0 &&
            av_audio_fifo_write(w.fifo.get(), reinterpret_cast<void**>(w.planes), got) < got) {
            set_err("oom");
            return -1;
        }
    }
    while (av_audio_fifo_size(w.fifo.get()) >= w.frame_size)
        if (send_from_fifo(w, w.frame_size) != 0) return -1;
    return 0;
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

// Drains the converter, the FIFO and the encoder, writes the trailer,
// closes the file and moves it over the output.
int finish(writer& w) {
    if (convert_and_encode(w, nullptr, 0) != 0) return -1;
    int rest = av_audio_fifo_size(w.fifo.get());
    if (rest > 0 && send_from_fifo(w, rest) != 0) return -1;

    // FLAC rewrites its header (length, MD5) at the flush: a failed flush
    // leaves a file whose header lies.
    int flushed = avcodec_send_frame(w.enc.get(), nullptr);
    if (flushed < 0 && flushed != AVERROR_EOF) {
        set_err("send_frame (flush) failed");
        return -1;
    }
    if (write_packets(w, "write_frame (flush) failed") != 0) return -1;
    w.frame.reset();
    w.pkt.reset();
    w.swr.reset();
    if (av_write_trailer(w.oc.get()) < 0) {
        set_io_err(w, "trailer failed");
        return -1;
    }
    if (!(w.oc->oformat->flags & AVFMT_NOFILE) && w.oc->pb) {
        // The last buffered bytes reach the file here; a full disk shows now.
        int rc = avio_closep(&w.oc->pb);
        if (rc < 0) {
            char why[AV_ERROR_MAX_STRING_SIZE];
            av_strerror(rc, why, sizeof why);
            set_err("cannot write output file %s: %s", w.path.c_str(), why);
            return -1;
        }
    }
    w.enc.reset();
    w.oc.reset();
    if (!w.temp.empty()) {
        if (fs_rename_replace(w.temp.c_str(), w.target.c_str()) != 0) {
            set_err("cannot replace output file %s", w.path.c_str());
            return -1;
        }
        w.temp.clear();
    }
    return 0;
}

}  // namespace

void writer_deleter::operator()(writer_state* w) const {
    discard(*w);
    delete w;
}

int writer_open(writer_ptr* out, const char* path, int sample_rate, int channels,
                const AVFormatContext* source) {
    writer_ptr w(new writer_state);
    w->channels = channels;
    if (open_writer(*w, path, sample_rate, channels, source) != 0) return -1;
    *out = std::move(w);
    return 0;
}

int writer_push(writer_state* w, const int16_t* pcm, int64_t frames) {
    if (w->finished) {
        set_err("write_frame failed");
        return -1;
    }
    const int64_t chunk = 1024;
    for (int64_t offset = 0; offset < frames; offset += chunk) {
        int n = static_cast<int>(frames - offset < chunk ? frames - offset : chunk);
        if (convert_and_encode(*w, pcm + offset * w->channels, n) != 0) {
            discard(*w);
            return -1;
        }
    }
    return 0;
}

int writer_close(writer_state* w) {
    if (w->finished) {
        set_err("write_frame (flush) failed");
        return -1;
    }
    int rc = finish(*w);
    discard(*w);  // after a success there is nothing left to remove
    return rc;
}

int encode_file(const char* path, const int16_t* pcm, int64_t frames, int sample_rate,
                int channels, const AVFormatContext* source) {
    writer_ptr w;
    if (writer_open(&w, path, sample_rate, channels, source) != 0) return -1;
    if (writer_push(w.get(), pcm, frames) != 0) return -1;
    return writer_close(w.get());
}
