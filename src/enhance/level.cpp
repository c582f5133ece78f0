#include "enhance/level.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/error.h"
#include "engine/graph.h"
#include "enhance/align.h"
#include "enhance/loudnorm.h"

bool level_is_linear(double target, const loudness_stats& m, double* gain_db) {
    *gain_db = 0.0;
    const double i = m.integrated_fine, lra = m.lra_fine;
    // Silence, or less than one 400 ms block, has no level to set.
    if (!std::isfinite(i) || i < -70.0 || !std::isfinite(m.true_peak) || m.true_peak < -900.0 ||
        !std::isfinite(lra) || lra < 0.0)
        return false;
    *gain_db = loudnorm_target(target) - i;
    return m.true_peak + *gain_db <= LEVEL_CEILING_DB && lra <= 11.0;
}

void apply_gain(int16_t* pcm, int64_t samples, double gain_db) {
    const double g = std::pow(10.0, gain_db / 20.0);
    for (int64_t n = 0; n < samples; n++) {
        double v = std::nearbyint(pcm[n] * g);
        pcm[n] = static_cast<int16_t>(v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v);
    }
}

int level_measure(const int16_t* pcm, int64_t frames, int rate, int channels,
                  const settings& cfg, loudness_stats* out) {
    clear_err();
    if (measure_pcm(pcm, frames, rate, channels, cfg, out, measure_kind::level) == 0) return 0;
    if (!g_err[0]) set_err("level measurement failed");
    return -1;
}

void shift_level(loudness_stats* m, double gain_db) {
    m->integrated += gain_db;
    m->integrated_fine += gain_db;
    m->threshold += gain_db;
    m->true_peak += gain_db;
}

namespace {

bool loud(const loudness_stats& m) {
    return std::isfinite(m.integrated_fine) && m.integrated_fine >= -70.0;
}

bool measured(const loudness_stats& m) {
    return loud(m) && std::isfinite(m.true_peak) && m.true_peak > -900.0;
}

// How far the samples are from where they should land.
double miss_of(double target, const loudness_stats& m) {
    return loudnorm_target(target) + LAND_AIM_LU - m.integrated_fine;
}

// Runs *pcm through a cut chain, delay-compensated, replacing it.
int run_parts(const chain_parts& parts, int64_t delay, pcm_ptr* pcm, int64_t* frames, int rate,
              int channels, bool discard, const settings& cfg) {
    pcm_ptr out;
    int64_t out_frames = 0;
    graph_context g;
    if (graph_setup_parts(&g, parts, rate, channels, cfg) != 0 ||
        graph_collect(&g, delay, pcm->get(), *frames, discard, &out, &out_frames) != 0) {
        set_err("filter chain failed: %s", g_err);
        return -1;
    }
    *pcm = std::move(out);
    *frames = out_frames;
    return 0;
}

// One loudnorm pass given the measured figures (it falls back to its
// dynamic mode by the rule above), back at the input's rate.
int dynamic_pass(pcm_ptr* pcm, int64_t* frames, int rate, int channels, double target,
                 const loudness_stats& m, bool discard, const settings& cfg) {
    loudnorm_measured lm;
    lm.input_i = m.integrated_fine;
    lm.input_tp = m.true_peak;
    lm.input_lra = m.lra_fine;
    lm.input_thresh = or_floor(m.threshold);
    // loudnorm's dynamic mode multiplies by the offset on top of its own
    // gain; the workflow's offset is what its analysis pass missed by, which
    // no pass here has seen.
    lm.target_offset = 0.0;
    char piece[512];
    loudnorm_second_pass(piece, sizeof piece, target, lm);
    // loudnorm runs at 192 kHz: with threads, the resampler back beside it.
    // It hands out its last seconds as one frame; a resampler fed that at
    // once would size its buffers for all of it (some 50 MB). Cut into
    // pieces it does not: the samples out of a filter do not depend on how
    // its input is cut.
    chain_parts parts;
    parts.middle = piece;
    parts.pivot = "loudnorm";
    char back[80];
    std::snprintf(back, sizeof back, "asetnsamples=n=32768:p=0,aresample=%d", rate);
    parts.tail = back;
    // The target changes the gain, not the timing: one probe serves them all.
    char probe[200];
    loudnorm_dynamic(probe, sizeof probe, -14.0);
    char probe_chain[260];
    std::snprintf(probe_chain, sizeof probe_chain, "%s,aresample=%d", probe, rate);
    int64_t delay = 0;
    if (stage_delay(probe_chain, rate, 3.2, &delay) != 0) return -1;
    if (debug_on()) std::fprintf(stderr, "[AE] level: dynamic pass %s,%s\n", piece, back);
    return run_parts(parts, delay > 0 ? delay : 0, pcm, frames, rate, channels, discard, cfg);
}

// The gain, then a true-peak limiter. Oversampled, the limiter runs at
// 192 kHz between two resamplers, as loudnorm's own does, so that it holds
// the peaks between the samples too. (Cut around the limiter, its resamplers
// beside it would cost a third more processor time for a tenth off the
// clock.) At the input's rate it costs a fifth as much, and what it takes
// from the loudness is within a hundredth of a LU of the oversampled one's:
// the peaks between samples are few and brief. The search runs there.
std::string limiter_chain(double gain_db, double ceiling_db, int rate, bool oversampled) {
    char text[200];
    const double limit = std::pow(10.0, ceiling_db / 20.0);
    if (oversampled)
        std::snprintf(text, sizeof text,
                      "volume=%.3fdB,aresample=192000,alimiter=limit=%.6f:attack=2:release=20:"
                      "level=false,aresample=%d",
                      gain_db, limit, rate);
    else
        std::snprintf(text, sizeof text,
                      "volume=%.3fdB,alimiter=limit=%.6f:attack=2:release=20:level=false",
                      gain_db, limit);
    return text;
}

// The share of a step into the limiter that stays, from the last two
// passes (gain, loudness), or first_slope before there are two. room: for
// the first step from a source whose peaks stand that far under the
// ceiling, 0 otherwise.
double limiter_slope(double g_prev, double i_prev, double g, double i, double first_slope,
                     double room) {
    const double rise = i - i_prev;
    double slope = std::fabs(g - g_prev) > 1e-6 ? rise / (g - g_prev) : first_slope;
    // From peaks under the ceiling, what the limiter takes grows about as
    // the cube of how far the gain drives them past it, so where the first
    // step ended the slope is below the step's average.
    const double over = g - room;
    if (room > 0.5 && over > 0.5) slope = 1.0 - 3.0 * (g - rise) / over;
    // A step into a change of sign, or a limiter that gives back less than a
    // third of a step, says more about the noise of the measure than about
    // the limiter.
    if (!(slope > 0.3)) slope = 0.3;
    return slope > 1.0 ? 1.0 : slope;
}

// What the search over the gain into the limiter works on, and the nearest
// pass it has seen.
struct limit_search {
    const int16_t* src = nullptr;
    int64_t frames = 0;
    int rate = 0;
    int channels = 0;
    double target = 0.0;
    double ceiling_db = 0.0;
    double deepest = 0.0;  // the gain never drives the peaks further over the ceiling
    const settings* cfg = nullptr;
    int passes = 0;
    bool found = false;
    double best_g = 0.0;
    loudness_stats best_m;
};

// The search, at the input's rate: the limiter takes back part of every
// step, so the step is corrected by the slope seen so far (secant),
// first_slope before there are two passes, from the source's loudness
// i_from. room: how far the source's peaks stand under the ceiling. It aims closer than the landing asks, so
// that the oversampled pass lands at once.
int search_gain(limit_search& s, double g, double i_from, double first_slope, double room) {
    const std::string at_zero = limiter_chain(0.0, LEVEL_CEILING_DB, s.rate, false);
    int64_t delay = 0;
    if (stage_delay(at_zero.c_str(), s.rate, 0.5, &delay) != 0) return -1;
    double g_prev = 0.0, i_prev = i_from, slope = first_slope;
    for (int pass = 0; pass < LIMIT_PASSES; pass++) {
        loudness_stats got;
        clear_err();
        if (measure_through(limiter_chain(g, s.ceiling_db, s.rate, false).c_str(),
                            delay > 0 ? delay : 0, s.src, s.frames, s.rate, s.channels, *s.cfg,
                            &got) != 0) {
            if (!g_err[0]) set_err("level measurement failed");
            return -1;
        }
        s.passes++;
        if (debug_on())
            std::fprintf(stderr, "[AE] level: limiter at the input's rate %+.3f dB -> I=%.3f\n",
                         g, got.integrated_fine);
        const double miss = miss_of(s.target, got);
        if (loud(got) && (!s.found || std::fabs(miss) < std::fabs(miss_of(s.target, s.best_m)))) {
            s.found = true;
            s.best_m = got;
            s.best_g = g;
        }
        if (!loud(got) || std::fabs(miss) <= 0.3 * LAND_TOLERANCE_LU) break;
        slope = limiter_slope(g_prev, i_prev, g, got.integrated_fine, slope,
                              pass == 0 ? room : 0.0);
        const double next = std::fmin(g + miss / slope, s.deepest);
        if (std::fabs(next - g) < 0.005) break;
        g_prev = g;
        i_prev = got.integrated_fine;
        g = next;
    }
    return 0;
}

// Finds the gain into the limiter that lands *pcm on the target at the
// input's rate, then runs it once at 192 kHz, in place: the source is never
// held twice. first_slope: the share of the first step expected to stay.
// The gain never drives the peaks more than LIMIT_DEPTH_DB over the ceiling.
// What the oversampled pass still misses by, a plain gain makes good as far
// as the ceiling lets it.
int land(pcm_ptr* pcm, int64_t* frames, int rate, int channels, double target,
         double ceiling_db, double first_slope, const settings& cfg, loudness_stats* m,
         level_report* report, level_early* early) {
    limit_search s;
    s.src = pcm->get();
    s.frames = *frames;
    s.rate = rate;
    s.channels = channels;
    s.target = target;
    s.ceiling_db = ceiling_db;
    s.deepest = ceiling_db - m->true_peak + LIMIT_DEPTH_DB;
    s.cfg = &cfg;
    if (early && !early->fn) early = nullptr;
    const double g0 = std::fmin(miss_of(target, *m) / first_slope, s.deepest);
    if (search_gain(s, g0, m->integrated_fine, first_slope, ceiling_db - m->true_peak) != 0)
        return -1;
    if (!s.found) return 0;  // nothing loud came out: it stays as it is

    const std::string at_zero = limiter_chain(0.0, LEVEL_CEILING_DB, rate, true);
    int64_t delay = 0;
    if (stage_delay(at_zero.c_str(), rate, 0.5, &delay) != 0) return -1;
    loudness_stats got;
    clear_err();
    if (measure_in_place(limiter_chain(s.best_g, ceiling_db, rate, true).c_str(),
                         delay > 0 ? delay : 0, pcm->get(), frames, rate, channels, cfg, &got,
                         early ? early->fn : nullptr, early ? early->ctx : nullptr) != 0) {
        if (!g_err[0]) set_err("filter chain failed");
        return -1;
    }
    report->limiter_passes = s.passes + 1;
    report->gain_db = s.best_g;
    if (early) early->whole = true;
    if (debug_on())
        std::fprintf(stderr, "[AE] level: limiter %+.3f dB -> I=%.3f\n", s.best_g,
                     got.integrated_fine);
    *m = got;  // the limiter holds the peaks; the written file's are measured
    const double miss = miss_of(target, got);
    if (!loud(got) || std::fabs(miss) <= LAND_TOLERANCE_LU) return 0;
    if (level_measure(pcm->get(), *frames, rate, channels, cfg, m) != 0) return -1;
    const double step = miss > 0.0 ? std::fmin(miss, ceiling_db - m->true_peak) : miss;
    if (step > 0.0 || miss < 0.0) {
        apply_gain(pcm->get(), *frames * channels, step);
        shift_level(m, step);
        report->gain_db += step;
        if (early) early->whole = false;
    }
    return 0;
}

// Under AE_DEBUG: the figures the leveller went by and what it did, in the
// form of loudnorm's own report.
void write_report(const loudness_stats& m, const level_report& r) {
    FILE* f = std::fopen("ae_lnorm_log.txt", "w");
    if (!f) return;
    std::fprintf(f,
                 "{\n\t\"input_i\" : \"%.3f\",\n\t\"input_tp\" : \"%.1f\",\n"
                 "\t\"input_lra\" : \"%.3f\",\n\t\"input_thresh\" : \"%.1f\",\n"
                 "\t\"normalization_type\" : \"%s\",\n\t\"limiter_passes\" : \"%d\",\n"
                 "\t\"target_offset\" : \"%.3f\"\n}\n",
                 m.integrated_fine, m.true_peak, m.lra_fine, m.threshold, r.mode,
                 r.limiter_passes, r.gain_db);
    std::fclose(f);
}

int level_impl(pcm_ptr* pcm, int64_t* frames, int rate, int channels, double target,
               double ceiling_db, const loudness_stats& m, bool discard, const settings& cfg,
               loudness_stats* levelled, level_report* report, level_early* early) {
    *levelled = m;
    double gain = 0.0;
    if (!measured(m)) return 0;  // silence passes as it is
    if (level_is_linear(target, m, &gain)) {
        report->mode = "linear";
        report->gain_db = gain;
        apply_gain(pcm->get(), *frames * channels, gain);
        shift_level(levelled, gain);
        return 0;
    }
    // Only the peaks stand in the way: the gain, and a limiter that takes
    // them, level it without the dynamic pass's moving gain.
    if (m.lra_fine <= 11.0 && m.true_peak + gain - ceiling_db <= PEAKS_ONLY_DB) {
        report->mode = "limited";
        return land(pcm, frames, rate, channels, target, ceiling_db, 1.0, cfg, levelled, report,
                    early);
    }
    report->mode = "dynamic";
    if (dynamic_pass(pcm, frames, rate, channels, target, m, discard, cfg) != 0) return -1;
    if (level_measure(pcm->get(), *frames, rate, channels, cfg, levelled) != 0) return -1;
    if (!measured(*levelled)) return 0;
    double miss = miss_of(target, *levelled);
    if (std::fabs(miss) <= LAND_TOLERANCE_LU && levelled->true_peak <= ceiling_db) return 0;
    // Room under the ceiling: a plain gain lands it.
    if (levelled->true_peak + miss <= ceiling_db) {
        apply_gain(pcm->get(), *frames * channels, miss);
        report->gain_db = miss;
        shift_level(levelled, miss);
        return 0;
    }
    // The limiter takes back about a fifth of a step on what the dynamic
    // pass gives, whose peaks already stand at the ceiling.
    return land(pcm, frames, rate, channels, target, ceiling_db, 0.8, cfg, levelled, report,
                early);
}

}  // namespace

int level_pcm(pcm_ptr* pcm, int64_t* frames, int rate, int channels, double target,
              double ceiling_db, const loudness_stats& m, bool discard, const settings& cfg,
              loudness_stats* levelled, level_report* report, level_early* early) {
    int rc = level_impl(pcm, frames, rate, channels, target, ceiling_db, m, discard, cfg,
                        levelled, report, early);
    if (rc == 0 && debug_on()) write_report(m, *report);
    return rc;
}
