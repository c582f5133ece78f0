#include "enhance/align.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/tx.h>
}

#include "base/error.h"
#include "engine/graph.h"

namespace {

struct measured_delay {
    std::string piece;
    int sample_rate;
    int64_t frames;
};

// A handful of pieces times the rates a process meets; past the bound a
// piece is measured again on every call rather than the cache growing.
constexpr size_t CACHE_MAX = 256;
std::mutex g_cache_mutex;
std::vector<measured_delay> g_cache;

bool cached(const char* piece, int sample_rate, int64_t* frames) {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (const measured_delay& d : g_cache) {
        if (d.sample_rate == sample_rate && d.piece == piece) {
            *frames = d.frames;
            return true;
        }
    }
    return false;
}

void remember(const char* piece, int sample_rate, int64_t frames) {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    for (const measured_delay& d : g_cache)
        if (d.sample_rate == sample_rate && d.piece == piece) return;
    if (g_cache.size() < CACHE_MAX) g_cache.push_back({piece, sample_rate, frames});
}

// Uniform white noise at about -15 dBFS RMS: far above afftdn's noise floor
// and below full scale, so every stage passes it much as it came.
void fill_noise(std::vector<int16_t>* pcm) {
    uint32_t state = 0x2545f491u;
    for (int16_t& s : *pcm) {
        state = state * 1664525u + 1013904223u;
        s = static_cast<int16_t>(static_cast<int32_t>(state >> 16) - 32768) / 4;
    }
}

}  // namespace

namespace {

struct tx_deleter {
    void operator()(AVTXContext* p) const { av_tx_uninit(&p); }
};
using tx_ptr = std::unique_ptr<AVTXContext, tx_deleter>;

}  // namespace

int64_t best_lag(const int16_t* ref, int64_t ref_frames, const int16_t* out, int64_t out_frames,
                 int channels, int64_t start, int64_t length, int64_t max_lag, double* score) {
    *score = 0.0;
    if (start < 0) start = 0;
    if (start + length > ref_frames) length = ref_frames - start;
    if (length <= 0 || max_lag < 0 || channels < 1) return 0;
    const int64_t span = length + 2 * max_lag;
    if (span > (int64_t{1} << 26)) return 0;
    int n = 1;
    while (n < span) n <<= 1;
    // Channel 0 of the reference, and of out from max_lag before the
    // reference's window to max_lag after it (silence outside its frames).
    // The correlation at every lag at once is the inverse transform of
    // conj(A) * B; with n >= span no lag wraps round.
    std::vector<AVComplexDouble> a(n, AVComplexDouble{0.0, 0.0}), b(n, AVComplexDouble{0.0, 0.0});
    std::vector<AVComplexDouble> fa(n), fb(n);
    for (int64_t i = 0; i < length; i++) a[i].re = ref[(start + i) * channels];
    for (int64_t j = 0; j < span; j++) {
        int64_t k = start - max_lag + j;
        if (k >= 0 && k < out_frames) b[j].re = out[k * channels];
    }
    AVTXContext* raw_fwd = nullptr;
    AVTXContext* raw_inv = nullptr;
    av_tx_fn fwd_fn = nullptr, inv_fn = nullptr;
    const double unit = 1.0;
    int rc_fwd = av_tx_init(&raw_fwd, &fwd_fn, AV_TX_DOUBLE_FFT, 0, n, &unit, AV_TX_UNALIGNED);
    tx_ptr fwd(raw_fwd);
    int rc_inv = av_tx_init(&raw_inv, &inv_fn, AV_TX_DOUBLE_FFT, 1, n, &unit, AV_TX_UNALIGNED);
    tx_ptr inv(raw_inv);
    if (rc_fwd < 0 || rc_inv < 0) return 0;
    const ptrdiff_t stride = sizeof(AVComplexDouble);
    fwd_fn(fwd.get(), fa.data(), a.data(), stride);
    fwd_fn(fwd.get(), fb.data(), b.data(), stride);
    for (int k = 0; k < n; k++) {
        const AVComplexDouble x = fa[k], y = fb[k];
        a[k] = AVComplexDouble{x.re * y.re + x.im * y.im, x.re * y.im - x.im * y.re};
    }
    inv_fn(inv.get(), fb.data(), a.data(), stride);

    int64_t best = 0;
    double best_acc = -HUGE_VAL;
    for (int64_t k = 0; k <= 2 * max_lag; k++) {
        if (fb[k].re > best_acc) {
            best_acc = fb[k].re;
            best = k - max_lag;
        }
    }
    // The score is worked out exactly at the chosen lag.
    double ab = 0.0, ea = 0.0, eb = 0.0;
    for (int64_t i = 0; i < length; i++) {
        double x = ref[(start + i) * channels];
        double y = b[i + best + max_lag].re;
        ab += x * y;
        ea += x * x;
        eb += y * y;
    }
    if (ea > 0.0 && eb > 0.0) *score = ab / std::sqrt(ea * eb);
    return best;
}

int stage_delay(const char* piece, int sample_rate, double settle_s,
                int64_t* frames) {
    if (!piece || !*piece || sample_rate < 1 || sample_rate > 2000000 || !(settle_s >= 0.0) ||
        settle_s > 10.0) {
        set_err("cannot measure a stage delay: bad stage or rate %d", sample_rate);
        return -1;
    }
    if (cached(piece, sample_rate, frames)) return 0;

    // The compared window follows the settling time, then room for lags up
    // to a tenth of a second.
    const int64_t settle = static_cast<int64_t>(settle_s * sample_rate);
    const int64_t window = 8192;
    const int64_t max_lag = sample_rate / 10 > 64 ? sample_rate / 10 : 64;
    std::vector<int16_t> probe(static_cast<size_t>(settle + window + max_lag));
    fill_noise(&probe);
    pcm_ptr out;
    int64_t out_frames = 0;
    if (run_chain(piece, probe.data(), static_cast<int64_t>(probe.size()), sample_rate, 1,
                  &out, &out_frames) != 0) {
        set_err("cannot measure the delay of %s at %d Hz: %s", piece, sample_rate, g_err);
        return -1;
    }
    double score = 0.0;
    int64_t lag = best_lag(probe.data(), static_cast<int64_t>(probe.size()), out.get(), out_frames,
                           1, settle, window, max_lag, &score);
    if (score < 0.5) {
        set_err("cannot measure the delay of %s at %d Hz: its output does not follow its input",
                piece, sample_rate);
        return -1;
    }
    remember(piece, sample_rate, lag);
    *frames = lag;
    return 0;
}
