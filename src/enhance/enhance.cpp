#include "enhance/enhance.h"

#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "engine/decoder.h"
#include "engine/graph.h"
#include "engine/pipe.h"
#include "enhance/denoise.h"
#include "enhance/level.h"
#include "enhance/output.h"
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

// Measures beside the caller's own work on the same samples (on the
// caller's thread first, without threads). *beside: whether a worker reads
// the samples until it is joined.
int measure_beside(const int16_t* pcm, int64_t frames, int rate, int channels,
                   const settings& cfg, loudness_stats* st, worker* w, bool* ok, bool* beside) {
    *ok = false;
    *beside = threads_enabled(cfg);
    if (!*beside) {
        *ok = measure_pcm(pcm, frames, rate, channels, cfg, st, measure_kind::level) == 0;
        return 0;
    }
    return worker_start(w, [=] {
        *ok = measure_pcm(pcm, frames, rate, channels, cfg, st, measure_kind::level) == 0;
        return 0;
    });
}

int measure_here(const int16_t* pcm, int64_t frames, int rate, int channels,
                 const settings& cfg, loudness_stats* st, const char* failure) {
    if (measure_pcm(pcm, frames, rate, channels, cfg, st, measure_kind::level) == 0) return 0;
    set_err("%s", failure);
    return -1;
}

// One call's audio and figures as it goes through the stages.
struct enhance_run_state {
    const enhance_options& opt;
    const settings& cfg;
    enhance_state s;
    int rate = 0;
    int channels = 0;
    bool pieces = false;  // something stands before the leveller
    loudness_stats* before = nullptr;
    // The before-measure runs beside the denoiser, or beside the pieces
    // when nothing needs its figures before they run.
    worker beside;
    bool before_ok = false;
    bool before_beside = false;
    // mid: the figures of what the pieces are given.
    loudness_stats mid;
    bool have_mid = false;

    enhance_run_state(const enhance_options& o, const settings& c) : opt(o), cfg(c) {}
};

// Where the before-measure runs: on the samples as they are decoded, when
// its figures are needed before anything else runs; else beside the
// denoiser or the pieces.
bool before_first(const enhance_run_state& e) {
    return e.opt.denoise < 1 && (e.opt.normalize_peak || !e.pieces);
}

struct decode_meter {
    measure_stream stream;
    int channels = 0;
    bool ok = false;
};

int meter_decoded(void* ctx, const int16_t* pcm, int64_t frames) {
    decode_meter* m = static_cast<decode_meter*>(ctx);
    // A meter that fails fails the before-measure, not the decoding.
    if (m->ok && !measure_stream_push(&m->stream, pcm, frames, m->channels))
        m->ok = false;
    return 0;
}

// Decodes the input, measured as it decodes when before_first.
int decode_input(enhance_run_state& e, const char* in_path) {
    enhance_state& s = e.s;
    if (decode_open(&s.dec, in_path) != 0) return -1;
    e.rate = s.dec.sample_rate;
    e.channels = s.dec.channels;
    if (!before_first(e))
        return decode_all(&s.dec, e.cfg, &s.pcm, &s.frames) != 0 ? -1 : 0;
    decode_meter m;
    m.channels = e.channels;
    m.ok = measure_stream_start(&m.stream, e.rate, e.channels, e.cfg, measure_kind::level) == 0;
    if (decode_all(&s.dec, e.cfg, &s.pcm, &s.frames, meter_decoded, &m) != 0) return -1;
    if (!m.ok || measure_stream_finish(&m.stream, e.before) != 0) {
        set_err("before-measure failed");
        return -1;
    }
    e.before_ok = true;
    return 0;
}

int start_before(enhance_run_state& e) {
    if (before_first(e)) return 0;  // measured as it was decoded
    return measure_beside(e.s.pcm.get(), e.s.frames, e.rate, e.channels, e.cfg, e.before,
                          &e.beside, &e.before_ok, &e.before_beside);
}

// Joins the before-measure (if it ran beside) and fails when it failed.
int join_before(enhance_run_state& e) {
    (void)worker_join(&e.beside);
    e.before_beside = false;
    if (e.before_ok) return 0;
    e.s.release();
    set_err("before-measure failed");
    return -1;
}

int denoise_stage(enhance_run_state& e, applied_list* applied) {
    if (e.opt.denoise < 1) {
        if (!e.before_beside && e.before_ok) {
            e.mid = *e.before;  // nothing changed the audio
            e.have_mid = true;
        }
        return 0;
    }
    pcm_ptr denoised;
    int64_t n = 0;
    int rc = denoise_pcm(e.s.pcm.get(), e.s.frames, e.rate, e.channels, e.opt.denoise,
                         &denoised, &n);
    if (join_before(e) != 0 || rc != 0) return -1;
    e.s.pcm = std::move(denoised);
    e.s.frames = n;
    applied_add(applied, "denoise");
    // The peak gain reads it; without pieces it is the leveller's too.
    if (!e.opt.normalize_peak && (e.pieces || !e.opt.loudnorm)) return 0;
    if (measure_here(e.s.pcm.get(), e.s.frames, e.rate, e.channels, e.cfg, &e.mid,
                     "mid-measure failed") != 0)
        return -1;
    e.have_mid = true;
    return 0;
}

// The pieces run once; *level_in: the leveller's measurement of what they
// give (mid, when nothing runs).
int pieces_stage(enhance_run_state& e, applied_list* applied, loudness_stats* level_in) {
    char chain[CHAIN_SIZE] = "";
    // While the before-measure still runs beside, no peak gain reads it.
    double peak = e.have_mid && e.mid.true_peak > -900.0 ? e.mid.true_peak
                  : e.before_beside                      ? -999.0
                                                         : e.before->true_peak;
    compose_chain(e.opt, peak, chain, sizeof chain, applied);
    if (debug_on()) std::fprintf(stderr, "[AE] chain: %s\n", chain);
    *level_in = e.mid;
    if (e.pieces) {
        int64_t delay = 0;
        pcm_ptr out;
        int64_t n = 0;
        if (chain_delay(e.opt, e.rate, e.channels, &delay) != 0) return -1;
        if (run_chain_collect(chain, delay, e.s.pcm.get(), e.s.frames, e.rate, e.channels,
                              !e.before_beside, &out, &n) != 0) {
            set_err("filter chain failed: %s", g_err);
            return -1;
        }
        if (e.before_beside && join_before(e) != 0) return -1;
        e.s.pcm = std::move(out);
        e.s.frames = n;
        if (e.opt.loudnorm && level_measure(e.s.pcm.get(), e.s.frames, e.rate, e.channels,
                                            e.cfg, level_in) != 0)
            return -1;
        if (!e.have_mid) e.mid = *level_in;
    }
    if (e.before_beside && join_before(e) != 0) return -1;
    if (!e.have_mid && !e.pieces) e.mid = *e.before;
    return 0;
}

// With threads, a lossy output the limiter levels is begun first: the
// limiter's last pass goes into its encoder as it comes. *begun: that
// output, when it holds the levelled samples so far.
int level_stage(enhance_run_state& e, const char* out_path, const loudness_stats& level_in,
                loudness_stats* written, output_stream_ptr* begun) {
    level_report report;
    const bool lossless = lossless_output(out_path);
    const double ceiling = lossless ? LEVEL_CEILING_DB : LOSSY_CEILING_DB;
    level_early early;
    output_stream_ptr out;
    double gain = 0.0;
    if (!lossless && threads_enabled(e.cfg) && !level_is_linear(e.opt.target_lufs, level_in, &gain)) {
        const output_audio spec{nullptr, 0, e.rate, e.channels, e.s.dec.fmt.get()};
        if (output_begin(&out, spec, out_path, e.cfg) != 0) return -1;
        early.fn = output_offer;
        early.ctx = out.get();
    }
    if (level_pcm(&e.s.pcm, &e.s.frames, e.rate, e.channels, e.opt.target_lufs, ceiling,
                  level_in, true, e.cfg, written, &report, &early) != 0)
        return -1;
    if (early.whole) *begun = std::move(out);
    if (debug_on())
        std::fprintf(stderr, "[AE] level: %s, gain %+.3f dB, %d limiter passes%s\n", report.mode,
                     report.gain_db, report.limiter_passes,
                     early.whole ? ", written as it came" : "");
    return 0;
}

// Writes the file (or what a begun output still lacks) and takes its
// figures for the answer; written: the last figures of the samples before
// that.
int write_stage(enhance_run_state& e, const char* out_path, loudness_stats written,
                output_stream_ptr begun, enhance_result* r) {
    const output_audio audio{e.s.pcm.get(), e.s.frames, e.rate, e.channels, e.s.dec.fmt.get()};
    loudness_stats after;
    bool measured = false;
    if (begun) {
        const int64_t fed = output_frames(begun.get());
        if (output_push(begun.get(), audio.pcm + fed * e.channels, audio.frames - fed) != 0 ||
            output_finish(begun.get(), &after, &measured) != 0)
            return -1;
        begun.reset();
    } else if (write_measured(audio, out_path, e.cfg, &after, &measured) != 0) {
        return -1;
    }
    // A lossy encoder lifts the peaks of levelled audio by a few tenths of a
    // dB: over the ceiling, the file is written once more with less gain.
    if (e.opt.loudnorm && measured && after.true_peak > FILE_CEILING_DB) {
        double cut = after.true_peak - FILE_CEILING_DB + 0.1;
        if (debug_on())
            std::fprintf(stderr, "[AE] level: written peak %.1f dBTP, again %.1f dB lower\n",
                         after.true_peak, cut);
        apply_gain(e.s.pcm.get(), e.s.frames * e.channels, -cut);
        shift_level(&written, -cut);
        if (write_measured(audio, out_path, e.cfg, &after, &measured) != 0) return -1;
    }
    e.s.release();
    r->after = *e.before;
    if (measured)
        r->after = after;
    else if (!(written.integrated < -900.0))
        r->after = written;
    // The after-measure is no failure of the call: forget what it left.
    clear_err();
    r->size_bytes = fs_file_size(out_path);
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
                const settings& cfg, enhance_result* r) {
    enhance_run_state e(opt, cfg);
    enhance_state& s = e.s;
    e.before = &r->before;
    {
        // What stands before the leveller; the peak gain's value comes later.
        char chain[CHAIN_SIZE] = "";
        applied_list ignored;
        compose_chain(opt, 0.0, chain, sizeof chain, &ignored);
        e.pieces = chain[0] != '\0';
    }
    if (decode_input(e, in_path) != 0) return -1;
    // Only the demuxer is needed from here on, for the tags it carries over.
    s.dec.frame.reset();
    s.dec.dec.reset();
    r->duration_s = s.dec.duration_s;
    if (start_before(e) != 0 || denoise_stage(e, &r->applied) != 0) return -1;
    if (opt.loudnorm) applied_add(&r->applied, "loudnorm");
    loudness_stats level_in;
    if (pieces_stage(e, &r->applied, &level_in) != 0) return -1;
    loudness_stats written = opt.loudnorm && e.pieces ? level_in : e.mid;
    output_stream_ptr begun;
    if (opt.loudnorm && level_stage(e, out_path, level_in, &written, &begun) != 0) return -1;
    return write_stage(e, out_path, written, std::move(begun), r);
}
