#include "analysis/packet_measure.h"

#include <cstring>
#include <vector>

#include "base/error.h"
#include "engine/decoder.h"

extern "C" {
#include <libavutil/intreadwrite.h>
}

namespace {

// A fingerprint of a stream of samples, however it is cut into blocks.
uint64_t fingerprint(uint64_t h, const int16_t* s, int64_t n) {
    for (int64_t i = 0; i < n; i++)
        h = (h ^ static_cast<uint16_t>(s[i])) * 0x100000001b3ULL;
    return h;
}
constexpr uint64_t FINGERPRINT_SEED = 0xcbf29ce484222325ULL;

// The worker's side: the decoder, the samples held back, the meter.
struct packet_meter {
    packet_measure* m;
    codec_context_ptr dec;
    frame_ptr frame;
    measure_stream* stream = nullptr;  // the worker's own
    int channels = 0;
    // The encoder's priming, which a demuxer tells the decoder to skip: its
    // first packet says so here too.
    int64_t skip = 0;
    // Where the file's decoding ends is known only once it is written: the
    // last second stays back until then.
    std::vector<int16_t> held;
    int64_t hold = 0;
};

bool meter_out(packet_meter& p, int64_t frames) {
    const int16_t* s = p.held.data();
    p.m->print = fingerprint(p.m->print, s, frames * p.channels);
    p.m->metered += frames;
    bool ok = measure_stream_push(p.stream, s, frames, p.channels);
    p.held.erase(p.held.begin(), p.held.begin() + frames * p.channels);
    return ok;
}

int take_frames(packet_meter& p) {
    for (;;) {
        int rc = avcodec_receive_frame(p.dec.get(), p.frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
        if (rc < 0) return -1;
        const int64_t n = p.frame->nb_samples;
        const size_t at = p.held.size();
        p.held.resize(at + n * p.channels);
        int conv = frame_to_s16(p.frame.get(), p.channels, p.held.data() + at);
        av_frame_unref(p.frame.get());
        if (conv != 0) return -1;
        const int64_t have = static_cast<int64_t>(p.held.size()) / p.channels;
        if (have > 2 * p.hold && !meter_out(p, have - p.hold)) return -1;
    }
}

int run_meter(packet_meter& p, const settings& cfg) {
    packet_measure* m = p.m;
    // A worker that stops, however it stops, never leaves the encoder
    // waiting on a full queue.
    cancel_at_exit<packet_ptr> stop_producer{&m->packets};
    // On this thread alone (the encoder has the other), under its capture.
    settings here = cfg;
    here.threads = 1;
    measure_stream stream;
    p.stream = &stream;
    if (measure_stream_start(&stream, p.dec->sample_rate, p.channels, here,
                             measure_kind::level) != 0)
        return -1;
    packet_ptr pkt;
    bool first = true;
    while (queue_pop(&m->packets, &pkt)) {
        if (first && p.skip > 0) {
            uint8_t* side = av_packet_new_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, 10);
            if (!side) return -1;
            AV_WL32(side, static_cast<uint32_t>(p.skip));
            std::memset(side + 4, 0, 6);  // nothing to discard at the end, no reasons
        }
        first = false;
        if (avcodec_send_packet(p.dec.get(), pkt.get()) < 0 || take_frames(p) != 0) return -1;
        pkt.reset();
    }
    if (queue_cancelled(&m->packets)) return -1;
    if (avcodec_send_packet(p.dec.get(), nullptr) < 0 || take_frames(p) != 0) return -1;
    int64_t file_frames = 0;
    {
        std::unique_lock<std::mutex> hold(m->packets.lock);
        m->packets.changed.wait(hold, [m] { return m->file_known || m->packets.cancelled; });
        if (m->packets.cancelled) return -1;
        file_frames = m->file_frames;
    }
    const int64_t rest = file_frames - m->metered;
    if (rest < 0 || rest > static_cast<int64_t>(p.held.size()) / p.channels ||
        !meter_out(p, rest))
        return -1;
    return measure_stream_finish(&stream, &m->stats);
}

struct file_print {
    uint64_t print = FINGERPRINT_SEED;
    int channels = 0;
};

int print_block(void* ctx, const int16_t* pcm, int64_t frames) {
    file_print* f = static_cast<file_print*>(ctx);
    f->print = fingerprint(f->print, pcm, frames * f->channels);
    return 0;
}

}  // namespace

packet_measure::~packet_measure() {
    queue_cancel(&packets);
    if (thread.thread.joinable()) thread.thread.join();
}

int packet_measure_start(packet_measure* m, const AVCodecParameters* par, const settings& cfg) {
    auto p = std::make_shared<packet_meter>();
    p->m = m;
    if (open_codec_decoder(par, "the output", &p->dec) != 0) return -1;
    p->frame.reset(av_frame_alloc());
    if (!p->frame) {
        set_err("oom");
        return -1;
    }
    p->channels = p->dec->ch_layout.nb_channels;
    p->skip = par->initial_padding;
    p->hold = p->dec->sample_rate;
    m->packets.capacity = 256;
    m->print = FINGERPRINT_SEED;
    return worker_start(&m->thread, [p, cfg] { return run_meter(*p, cfg); });
}

int packet_measure_tap(void* ctx, const AVPacket* pkt) {
    packet_measure* m = static_cast<packet_measure*>(ctx);
    // A copy of the bytes, not a reference: the encoder's buffers are
    // counted in atomics that a checked build cannot see.
    packet_ptr copy(av_packet_alloc());
    if (!copy || av_new_packet(copy.get(), pkt->size) < 0) {
        set_err("oom");
        return -1;
    }
    if (pkt->size > 0) std::memcpy(copy->data, pkt->data, static_cast<size_t>(pkt->size));
    copy->pts = pkt->pts;
    copy->dts = pkt->dts;
    copy->duration = pkt->duration;
    copy->flags = pkt->flags;
    // A meter that gave up does not stop the writing.
    (void)queue_push(&m->packets, std::move(copy));
    return 0;
}

bool packet_measure_finish(packet_measure* m, const char* path, loudness_stats* out) {
    queue_close(&m->packets);
    file_print f;
    int64_t frames = -1;
    decoder_state dec;
    if (decode_open(&dec, path) == 0) {
        f.channels = dec.channels;
        if (decode_each(&dec, print_block, &f, &frames) != 0) frames = -1;
    }
    {
        std::lock_guard<std::mutex> hold(m->packets.lock);
        m->file_frames = frames;
        m->file_known = true;
        m->packets.changed.notify_all();
    }
    if (worker_join(&m->thread) != 0 || frames < 0) return false;
    if (m->metered != frames || m->print != f.print) return false;
    *out = m->stats;
    return true;
}
