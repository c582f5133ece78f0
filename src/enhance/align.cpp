#include "enhance/align.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "api/error.h"
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

int64_t best_lag(const int16_t* ref, int64_t ref_frames, const int16_t* out, int64_t out_frames,
                 int channels, int64_t start, int64_t length, int64_t max_lag, double* score) {
    *score = 0.0;
    if (start < 0) start = 0;
    if (start + length > ref_frames) length = ref_frames - start;
    if (length <= 0 || max_lag < 0 || channels < 1) return 0;
    // Channel 0 into plain arrays, out padded with silence by max_lag either
    // side, so the inner loop is one bounded dot product.
    std::vector<int32_t> a(static_cast<size_t>(length));
    std::vector<int32_t> b(static_cast<size_t>(length + 2 * max_lag), 0);
    for (int64_t i = 0; i < length; i++) a[i] = ref[(start + i) * channels];
    for (int64_t j = 0; j < length + 2 * max_lag; j++) {
        int64_t k = start - max_lag + j;
        if (k >= 0 && k < out_frames) b[j] = out[k * channels];
    }
    int64_t best = 0;
    int64_t best_acc = INT64_MIN;
    for (int64_t lag = -max_lag; lag <= max_lag; lag++) {
        const int32_t* y = b.data() + (lag + max_lag);
        int64_t acc = 0;
        for (int64_t i = 0; i < length; i++) acc += a[i] * y[i];
        // Ties go to the lag nearest zero.
        if (acc > best_acc || (acc == best_acc && std::llabs(lag) < std::llabs(best))) {
            best_acc = acc;
            best = lag;
        }
    }
    double ea = 0.0, eb = 0.0;
    const int32_t* y = b.data() + (best + max_lag);
    for (int64_t i = 0; i < length; i++) {
        ea += static_cast<double>(a[i]) * a[i];
        eb += static_cast<double>(y[i]) * y[i];
    }
    if (ea > 0.0 && eb > 0.0) *score = static_cast<double>(best_acc) / std::sqrt(ea * eb);
    return best;
}

int stage_delay(const char* piece, int sample_rate, double settle_s, int64_t* frames) {
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
    if (run_chain(piece, probe.data(), static_cast<int64_t>(probe.size()), sample_rate, 1, &out,
                  &out_frames) != 0) {
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
