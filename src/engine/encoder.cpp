#include "engine/writer_state.h"

#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include "base/error.h"
#include "engine/owners.h"
#include "platform/fs.h"

using writer = writer_state;

namespace {

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

}  // namespace

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

namespace {

// Writes every packet the encoder has ready.
int write_packets(writer& w, const char* failure) {
    for (;;) {
        int rc = avcodec_receive_packet(w.enc.get(), w.pkt.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) {
            set_err("%s", failure);
            return -1;
        }
        if (w.tap && w.tap(w.tap_ctx, w.pkt.get()) != 0) {
            av_packet_unref(w.pkt.get());
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

}  // namespace

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

namespace {

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

void writer_set_tap(writer_state* w, packet_tap_fn tap, void* ctx) {
    w->tap = tap;
    w->tap_ctx = ctx;
}

const AVCodecParameters* writer_codec_parameters(const writer_state* w) {
    return w->stream->codecpar;
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
