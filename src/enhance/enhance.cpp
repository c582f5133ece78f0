#include "enhance/enhance.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/entry.h"
#include "base/error.h"
#include "base/json_doc.h"
#include "base/lists.h"
#include "api/json_name.h"
#include "api/result.h"
#include "engine/decoder.h"
#include "engine/encoder.h"
#include "engine/graph.h"
#include "engine/pipe.h"
#include "enhance/denoise.h"
#include "enhance/level.h"
#include "platform/fs.h"

namespace {

// What one call holds from decoding on. Leaving scope releases the PCM, the
// decoder's frame, codec context and input, then the RNNoise instance.
struct enhance_state {
    struct denoiser_release {
        ~denoiser_release() { release_denoiser(); }
    } denoiser;
    decoder_state dec;
    pcm_ptr pcm;
    int64_t frames = 0;

    void release() {
        pcm.reset();
        dec = decoder_state{};
        release_denoiser();
    }
};

// Outputs whose samples are exactly the chain's output: their loudness can be
// measured from that output while the file is written.
bool lossless_output(const char* path) {
    const char* dot = std::strrchr(path, '.');
    const output_container* c = dot ? output_container_of(dot + 1) : nullptr;
    return c && c->lossless;
}

// Runs the chain named by AE_TEST_CHAIN instead of writing an output.
int run_test_chain(enhance_state& s, const char* chain) {
    pcm_ptr out;
    int64_t out_frames = 0;
    if (run_chain(chain, s.pcm.get(), s.frames, s.dec.sample_rate, s.dec.channels, &out,
                  &out_frames) != 0) {
        std::fprintf(stderr, "[AE] test chain failed: %s\n", g_err);
        return 1;
    }
    s.pcm.reset();
    loudness_stats st;
    if (measure_pcm(out.get(), out_frames, s.dec.sample_rate, s.dec.channels, &st) != 0) return 0;
    std::fprintf(stderr, "[AE] test-chain I=%.2f TP=%.2f\n", st.integrated, st.true_peak);
    return 0;
}

// ---------------------------------------------------------------- measuring

// Decodes and measures the written file; false when it cannot be read.
bool measure_file(const char* path, loudness_stats* st) {
    decoder_state dec;
    return decode_open(&dec, path) == 0 && measure_decoded(&dec, st, measure_kind::level) == 0;
}

// Frames the written file decodes to, -1 when it cannot be read.
int64_t count_file_frames(const char* path) {
    decoder_state dec;
    int64_t frames = 0;
    auto count = [](void*, const int16_t*, int64_t) { return 0; };
    if (decode_open(&dec, path) != 0 || decode_each(&dec, count, nullptr, &frames) != 0)
        return -1;
    return frames;
}

// Measures beside the caller's own work on the same samples (on the
// caller's thread first, without threads). *beside: whether a worker reads
// the samples until it is joined.
int measure_beside(const int16_t* pcm, int64_t frames, int rate, int channels,
                   loudness_stats* st, worker* w, bool* ok, bool* beside) {
    *ok = false;
    *beside = threads_enabled();
    if (!*beside) {
        *ok = measure_pcm(pcm, frames, rate, channels, st, measure_kind::level) == 0;
        return 0;
    }
    return worker_start(w, [=] {
        *ok = measure_pcm(pcm, frames, rate, channels, st, measure_kind::level) == 0;
        return 0;
    });
}

int measure_here(const int16_t* pcm, int64_t frames, int rate, int channels,
                 loudness_stats* st, const char* failure) {
    if (measure_pcm(pcm, frames, rate, channels, st, measure_kind::level) == 0) return 0;
    set_err("%s", failure);
    return -1;
}

// ---------------------------------------------------------------- writing

// Where the chain's output goes: straight into the writer, or with threads
// into the encoder's queue and, for lossless outputs, the after-measure.
struct output_sinks {
    writer_state* writer = nullptr;
    int channels = 0;
    block_queue* encoder = nullptr;
    measure_stream* measure = nullptr;
    int64_t frames = 0;
};

int to_outputs(void* ctx, const int16_t* pcm, int64_t frames) {
    output_sinks* o = static_cast<output_sinks*>(ctx);
    o->frames += frames;
    if (!o->encoder) return writer_push(o->writer, pcm, frames);
    block_ptr b = make_block(pcm, frames, o->channels);
    if (!queue_push(o->encoder, b)) {
        set_err("encoder stopped");
        return -1;
    }
    if (o->measure && !measure_stream_push(o->measure, b)) o->measure = nullptr;
    return 0;
}

// The encoder's thread: blocks from the queue into the writer.
int encode_from_queue(writer_state* w, block_queue* q) {
    cancel_at_exit stop_producer{q};
    block_ptr b;
    while (queue_pop(q, &b))
        if (writer_push(w, b->samples.data(), b->frames) != 0) return -1;
    return 0;
}

// Hands pcm to the outputs in the blocks a chain's output would come in.
int pcm_into(const int16_t* pcm, int64_t frames, int channels, output_sinks* o) {
    for (int64_t at = 0; at < frames; at += GRAPH_CHUNK) {
        int64_t n = frames - at < GRAPH_CHUNK ? frames - at : GRAPH_CHUNK;
        if (to_outputs(o, pcm + at * channels, n) != 0) return -1;
    }
    return 0;
}

// Writes the PCM to out_path. With threads the encoder runs on its own
// thread and, for WAV and FLAC, the after-measure runs on the samples as
// they go: *streamed says whether *after holds it.
int write_output(const enhance_state& s, const char* out_path, loudness_stats* after,
                 bool* streamed) {
    const int rate = s.dec.sample_rate, channels = s.dec.channels;
    *streamed = false;
    writer_ptr w;
    if (writer_open(&w, out_path, rate, channels, s.dec.fmt.get()) != 0) return -1;
    output_sinks o;
    o.writer = w.get();
    o.channels = channels;

    if (!threads_enabled())
        return pcm_into(s.pcm.get(), s.frames, channels, &o) == 0 ? writer_close(w.get()) : -1;

    block_queue encoder;
    worker encoding;
    measure_stream m;
    const bool measure = lossless_output(out_path);
    if (measure && measure_stream_start(&m, rate, channels, measure_kind::level) == 0)
        o.measure = &m;
    writer_state* raw = w.get();
    // Declared after the worker, so a producer that throws cancels the queue
    // before the worker is joined.
    cancel_at_exit stop_encoder{&encoder};
    if (worker_start(&encoding, [raw, &encoder] { return encode_from_queue(raw, &encoder); }) !=
        0)
        return -1;
    o.encoder = &encoder;
    int rc = pcm_into(s.pcm.get(), s.frames, channels, &o);
    if (rc != 0) queue_cancel(&encoder);
    queue_close(&encoder);
    if (worker_join(&encoding) != 0) rc = -1;
    if (rc != 0) return -1;
    if (writer_close(w.get()) != 0) return -1;

    if (o.measure && measure_stream_finish(&m, after) == 0 &&
        count_file_frames(out_path) == o.frames)
        *streamed = true;
    return 0;
}

// Writes and measures the written file (*measured: whether *after holds
// its figures).
int write_measured(const enhance_state& s, const char* out_path, loudness_stats* after,
                   bool* measured) {
    bool streamed = false;
    if (write_output(s, out_path, after, &streamed) != 0) return -1;
    *measured = (streamed || measure_file(out_path, after)) && !(after->integrated < -900.0);
    return 0;
}

}  // namespace

int enhance_prepare(const char* in_path, const char* out_path, const char* options,
                    enhance_options* opt) {
    if (check_input_file(in_path) != 0) return -1;
    // Never replace a recording by its own result.
    if (fs_same_file(in_path, out_path)) {
        set_err("output path is the input file: %s", out_path);
        return -1;
    }
    return parse_options(options, opt);
}

int enhance_run(const char* in_path, const char* out_path, const enhance_options& opt,
                enhance_result* r) {
    enhance_state s;
    if (decode_open(&s.dec, in_path) != 0 || decode_all(&s.dec, &s.pcm, &s.frames) != 0)
        return -1;
    // Only the demuxer is needed from here on, for the tags it carries over.
    s.dec.frame.reset();
    s.dec.dec.reset();
    const int rate = s.dec.sample_rate;
    const int channels = s.dec.channels;
    r->duration_s = s.dec.duration_s;
    applied_list& applied = r->applied;

    // What stands before the leveller; the peak gain's value comes later.
    char chain[CHAIN_SIZE] = "";
    {
        applied_list ignored;
        compose_chain(opt, 0.0, chain, sizeof chain, &ignored);
    }
    const bool pieces = chain[0] != '\0';

    // The before-measure runs beside the denoiser, or beside the pieces
    // when nothing needs its figures before they run.
    loudness_stats& before = r->before;
    worker beside;
    bool before_ok = false, before_beside = false;
    const bool before_first = opt.denoise < 1 && (opt.normalize_peak || !pieces);
    if (before_first) {
        if (measure_here(s.pcm.get(), s.frames, rate, channels, &before,
                         "before-measure failed") != 0)
            return -1;
        before_ok = true;
    } else if (measure_beside(s.pcm.get(), s.frames, rate, channels, &before, &beside,
                              &before_ok, &before_beside) != 0) {
        return -1;
    }
    auto join_before = [&]() {
        (void)worker_join(&beside);
        before_beside = false;
        if (before_ok) return 0;
        s.release();
        set_err("before-measure failed");
        return -1;
    };

    // mid: the figures of what the pieces are given.
    loudness_stats mid;
    bool have_mid = false;
    if (opt.denoise >= 1) {
        pcm_ptr denoised;
        int64_t n = 0;
        int rc = denoise_pcm(s.pcm.get(), s.frames, rate, channels, opt.denoise, &denoised, &n);
        if (join_before() != 0 || rc != 0) return -1;
        s.pcm = std::move(denoised);
        s.frames = n;
        applied_add(&applied, "denoise");
        // The peak gain reads it; without pieces it is the leveller's too.
        if (opt.normalize_peak || (!pieces && opt.loudnorm)) {
            if (measure_here(s.pcm.get(), s.frames, rate, channels, &mid,
                             "mid-measure failed") != 0)
                return -1;
            have_mid = true;
        }
    } else if (!before_beside && before_ok) {
        mid = before;  // nothing changed the audio
        have_mid = true;
    }
    if (opt.loudnorm) applied_add(&applied, "loudnorm");

    chain[0] = '\0';
    // While the before-measure still runs beside, no peak gain reads it.
    double peak = have_mid && mid.true_peak > -900.0 ? mid.true_peak
                  : before_beside                    ? -999.0
                                                     : before.true_peak;
    compose_chain(opt, peak, chain, sizeof chain, &applied);
    if (debug_on()) std::fprintf(stderr, "[AE] chain: %s\n", chain);

    // The diagnostic hook answers 1 + its own status (0 done, 1 failed).
    if (const char* test_chain = std::getenv("AE_TEST_CHAIN")) {
        if (before_beside && join_before() != 0) return -1;
        return 1 + run_test_chain(s, test_chain);
    }

    // The pieces run once; the leveller measures what they give.
    loudness_stats level_in = mid;
    if (pieces) {
        int64_t delay = 0;
        pcm_ptr out;
        int64_t n = 0;
        if (chain_delay(opt, rate, channels, &delay) != 0) return -1;
        if (run_chain_collect(chain, delay, s.pcm.get(), s.frames, rate, channels,
                              !before_beside, &out, &n) != 0) {
            set_err("filter chain failed: %s", g_err);
            return -1;
        }
        if (before_beside && join_before() != 0) return -1;
        s.pcm = std::move(out);
        s.frames = n;
        if (opt.loudnorm &&
            level_measure(s.pcm.get(), s.frames, rate, channels, &level_in) != 0)
            return -1;
        if (!have_mid) mid = level_in;
    }
    if (before_beside && join_before() != 0) return -1;
    if (!have_mid && !pieces) mid = before;

    // What was written, or the last figures of the samples before that.
    loudness_stats written = opt.loudnorm && pieces ? level_in : mid;
    if (opt.loudnorm) {
        level_report report;
        const double ceiling = lossless_output(out_path) ? LEVEL_CEILING_DB : LOSSY_CEILING_DB;
        if (level_pcm(&s.pcm, &s.frames, rate, channels, opt.target_lufs, ceiling, level_in,
                      true, &written, &report) != 0)
            return -1;
        if (debug_on())
            std::fprintf(stderr, "[AE] level: %s, gain %+.3f dB, %d limiter passes\n",
                         report.mode, report.gain_db, report.limiter_passes);
    }

    loudness_stats after;
    bool measured = false;
    if (write_measured(s, out_path, &after, &measured) != 0) return -1;
    // A lossy encoder lifts the peaks of levelled audio by a few tenths of a
    // dB: over the ceiling, the file is written once more with less gain.
    if (opt.loudnorm && measured && after.true_peak > FILE_CEILING_DB) {
        double cut = after.true_peak - FILE_CEILING_DB + 0.1;
        if (debug_on())
            std::fprintf(stderr, "[AE] level: written peak %.1f dBTP, again %.1f dB lower\n",
                         after.true_peak, cut);
        apply_gain(s.pcm.get(), s.frames * channels, -cut);
        shift_level(&written, -cut);
        if (write_measured(s, out_path, &after, &measured) != 0) return -1;
    }
    s.release();

    r->after = before;
    if (measured)
        r->after = after;
    else if (!(written.integrated < -900.0))
        r->after = written;
    // The after-measure is no failure of the call: forget what it left.
    clear_err();
    r->size_bytes = file_size(out_path);
    return 0;
}

int enhance_file(const char* in_path, const char* out_path, const char* options,
                 const char** out) {
    clear_err();
    if (!out_path || !out || !in_path) {
        set_err("null args");
        return -1;
    }
    enhance_options opt;
    if (enhance_prepare(in_path, out_path, options, &opt) != 0) return -1;
    enhance_result r;
    int rc = enhance_run(in_path, out_path, opt, &r);
    if (rc != 0) return rc > 0 ? rc - 1 : -1;

    json_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    if (doc) {
        yyjson_mut_doc* d = doc.get();
        yyjson_mut_val* root = yyjson_mut_obj(d);
        yyjson_mut_doc_set_root(d, root);
        yyjson_mut_obj_add_val(d, root, "output", json_name(d, out_path));
        yyjson_mut_obj_add_real(d, root, "before_lufs", r.before.integrated);
        yyjson_mut_obj_add_real(d, root, "after_lufs", r.after.integrated);
        yyjson_mut_obj_add_real(d, root, "before_peak", or_floor(r.before.true_peak));
        yyjson_mut_obj_add_real(d, root, "after_peak", or_floor(r.after.true_peak));
        yyjson_mut_obj_add_real(d, root, "size_mb",
                                static_cast<double>(r.size_bytes) / 1048576.0);
        yyjson_mut_obj_add_real(d, root, "duration_s", r.duration_s);
        yyjson_mut_val* list = yyjson_mut_obj_add_arr(d, root, "applied");
        for (int i = 0; list && i < r.applied.count; i++)
            yyjson_mut_arr_add_strcpy(d, list, r.applied.names[i]);
    }
    return finish_json(doc.get(), out);
}
