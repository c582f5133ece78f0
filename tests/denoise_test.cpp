// The RNNoise stage: lengths and rates, frame accounting, the mix, time
// alignment, spectral balance on clean speech and noise reduction.
#include <gtest/gtest.h>
#include <rnnoise.h>
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "audioenhancer.h"
#include "analysis/measure.h"
#include "base/error.h"
#include "enhance/denoise.h"
#include "fixtures.h"

namespace {

using samples = std::vector<int16_t>;
using wave = std::vector<double>;  // one channel, full scale +-1

constexpr double PI = 3.14159265358979323846;

// What the stage's float round trip (x / 32768, then x * 32767 truncated)
// does to a sample it leaves alone: one step toward zero.
int16_t untouched(int16_t x) { return static_cast<int16_t>(x - (x > 0) + (x < 0)); }

samples interleave(const std::vector<wave>& ch) {
    size_t n = ch[0].size();
    samples out(n * ch.size());
    for (size_t c = 0; c < ch.size(); c++)
        for (size_t i = 0; i < n; i++) {
            double v = std::round(ch[c][i] * 32767.0);
            out[i * ch.size() + c] = static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
        }
    return out;
}

wave channel(const samples& s, int channels, int c) {
    wave out(s.size() / channels);
    for (size_t i = 0; i < out.size(); i++) out[i] = s[i * channels + c] / 32768.0;
    return out;
}

wave white(size_t n, double rms, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0.0, rms);
    wave s(n);
    for (double& v : s) v = g(rng);
    return s;
}

double rms(const wave& s, size_t from, size_t to) {
    double e = 0.0;
    for (size_t i = from; i < to; i++) e += s[i] * s[i];
    return std::sqrt(e / static_cast<double>(to - from));
}

double db(double x) { return 20.0 * std::log10(std::max(x, 1e-12)); }

void scale_to(wave* s, double target_rms) {
    double r = rms(*s, 0, s->size());
    for (double& v : *s) v *= target_rms / r;
}

// Paul Kellet's economy pink filter over white noise.
wave pink(size_t n, double target_rms, unsigned seed) {
    wave w = white(n, 1.0, seed), s(n);
    double b0 = 0, b1 = 0, b2 = 0;
    for (size_t i = 0; i < n; i++) {
        b0 = 0.99765 * b0 + w[i] * 0.0990460;
        b1 = 0.96300 * b1 + w[i] * 0.2965164;
        b2 = 0.57000 * b2 + w[i] * 1.0526913;
        s[i] = b0 + b1 + b2 + w[i] * 0.1848;
    }
    scale_to(&s, target_rms);
    return s;
}

// A steady fan: leaky-integrated (brown) noise through a 400 Hz low-pass.
wave fan(size_t n, int rate, double target_rms, unsigned seed) {
    wave w = white(n, 1.0, seed), s(n);
    double brown = 0.0, lp = 0.0;
    const double k = 1.0 - std::exp(-2.0 * PI * 400.0 / rate);
    for (size_t i = 0; i < n; i++) {
        brown = 0.998 * brown + 0.05 * w[i];
        lp += k * (brown - lp);
        s[i] = lp;
    }
    scale_to(&s, target_rms);
    return s;
}

// A sine swept from 200 Hz to 4 kHz: clean and tonal, yet it lines up with
// a copy of itself at one lag only.
wave chirp(size_t n, int rate, double amp) {
    wave s(n);
    const double t_end = static_cast<double>(n) / rate;
    for (size_t i = 0; i < n; i++) {
        double t = static_cast<double>(i) / rate;
        s[i] = amp * std::sin(2.0 * PI * (200.0 * t + (3800.0 / (2.0 * t_end)) * t * t));
    }
    return s;
}

// The lag at which b matches a best, searched over -max_lag..max_lag on
// the first two seconds (at 48 kHz) of both.
int xcorr_peak(const wave& a, const wave& b, int max_lag) {
    int best = 0;
    double best_v = -1e300;
    const int64_t n = static_cast<int64_t>(std::min({a.size(), b.size(), size_t{96000}}));
    for (int lag = -max_lag; lag <= max_lag; lag++) {
        double v = 0.0;
        for (int64_t i = std::max<int64_t>(0, -lag); i < n && i + lag < n; i++)
            v += a[i] * b[i + lag];
        if (v > best_v) {
            best_v = v;
            best = lag;
        }
    }
    return best;
}

double correlation(const wave& a, const wave& b) {
    size_t n = std::min(a.size(), b.size());
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; i++) {
        ab += a[i] * b[i];
        aa += a[i] * a[i];
        bb += b[i] * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

void fft(std::vector<std::complex<double>>* data) {
    std::vector<std::complex<double>>& x = *data;
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; i++) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        std::complex<double> w_len = std::polar(1.0, -2.0 * PI / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w(1.0);
            for (size_t k = 0; k < len / 2; k++) {
                std::complex<double> u = x[i + k], v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
                w *= w_len;
            }
        }
    }
}

// Energy (dB) in the octave bands centred on 125 Hz .. 8 kHz.
std::vector<double> octave_bands(const wave& s, int rate) {
    size_t n = 1;
    while (n < s.size()) n <<= 1;
    std::vector<std::complex<double>> x(n);
    for (size_t i = 0; i < s.size(); i++) x[i] = s[i];
    fft(&x);
    std::vector<double> bands;
    for (double centre = 125.0; centre <= 8000.0; centre *= 2.0) {
        size_t lo = static_cast<size_t>(centre / std::sqrt(2.0) * n / rate);
        size_t hi = static_cast<size_t>(centre * std::sqrt(2.0) * n / rate);
        double e = 0.0;
        for (size_t k = lo; k < hi; k++) e += std::norm(x[k]);
        bands.push_back(10.0 * std::log10(std::max(e, 1e-30)));
    }
    return bands;
}

struct stage_out {
    samples pcm;
    int64_t frames = 0;
};

stage_out denoise(const samples& in, int rate, int channels, int level) {
    stage_out r;
    pcm_ptr out;
    int64_t n = -1;
    int rc = denoise_pcm(in.data(), static_cast<int64_t>(in.size() / channels), rate, channels,
                         level, &out, &n);
    EXPECT_EQ(rc, 0) << g_err;
    if (rc != 0) return r;
    r.frames = n;
    r.pcm.assign(out.get(), out.get() + n * channels);
    return r;
}

samples read_speech(int rate, int channels) {
    decoded_file d;
    EXPECT_TRUE(decode_file(speech_fixture(rate, channels), &d));
    EXPECT_EQ(d.sample_rate, rate);
    EXPECT_EQ(d.channels, channels);
    if (!d.pcm) return samples();
    return samples(d.pcm.get(), d.pcm.get() + d.frames * d.channels);
}

// Speech between stretches of silence, at 48 kHz mono as a wave.
constexpr double LEAD_S = 1.5;
wave padded_speech(int rate) {
    samples sp = read_speech(rate, 1);
    wave s(static_cast<size_t>(LEAD_S * rate), 0.0);
    wave body = channel(sp, 1, 0);
    s.insert(s.end(), body.begin(), body.end());
    s.resize(s.size() + static_cast<size_t>(1.0 * rate), 0.0);
    return s;
}

// Counts "[AE] add frame ... sr=<rate>" lines: one per chunk that enters a
// graph at that rate.
int chunks_at(const std::string& log, int rate) {
    std::string needle = "sr=" + std::to_string(rate) + " ";
    int n = 0;
    for (size_t p = log.find(needle); p != std::string::npos; p = log.find(needle, p + 1)) n++;
    return n;
}

std::string run_logged(const samples& in, int rate, int channels, stage_out* out) {
    setenv("AE_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    *out = denoise(in, rate, channels, 5);
    std::string log = testing::internal::GetCapturedStderr();
    unsetenv("AE_DEBUG");
    return log;
}

}  // namespace

// ---- Rates and lengths ----------------------------------------------------

TEST(DenoiseLength, At48kMonoNoResamplingAndExactLength) {
    release_denoiser();
    samples in = interleave({white(48000 + 123, 0.05, 1)});
    stage_out out;
    std::string log = run_logged(in, 48000, 1, &out);
    EXPECT_EQ(out.frames, 48000 + 123);
    EXPECT_EQ(log.find("add frame"), std::string::npos) << log;
    // The same samples at another rate do go through the graphs.
    log = run_logged(in, 32000, 1, &out);
    EXPECT_NE(log.find("add frame"), std::string::npos);
}

TEST(DenoiseLength, At44kStereoBackAtInputRate) {
    release_denoiser();
    samples speech = read_speech(44100, 1);
    ASSERT_FALSE(speech.empty());
    const size_t n = speech.size();
    // Different content per channel, so a swap or a wrong stride shows.
    wave left = channel(speech, 1, 0);
    wave right = chirp(n, 44100, 0.3);
    samples in = interleave({left, right});

    stage_out out;
    std::string log = run_logged(in, 44100, 2, &out);
    // Up-sampling feeds 44.1 kHz chunks, back-sampling 48 kHz chunks.
    EXPECT_EQ(chunks_at(log, 44100), static_cast<int>((n + 4095) / 4096));
    EXPECT_GT(chunks_at(log, 48000), 0);

    EXPECT_LE(out.frames, static_cast<int64_t>(n) + 64);
    EXPECT_GE(out.frames, static_cast<int64_t>(n) - 441);  // within 10 ms
    // Level 5 keeps half the input: each channel still matches its own
    // input, at the input rate and without a shift.
    wave out_l = channel(out.pcm, 2, 0), out_r = channel(out.pcm, 2, 1);
    EXPECT_EQ(xcorr_peak(left, out_l, 600), 0);
    EXPECT_EQ(xcorr_peak(right, out_r, 600), 0);
    EXPECT_GT(correlation(left, out_l), 0.9);
    EXPECT_GT(correlation(right, out_r), 0.9);
    EXPECT_LT(std::fabs(correlation(left, out_r)), 0.1);
}

TEST(DenoiseLength, EmptyInputFailsAndLeavesTheOutputAlone) {
    int16_t dummy = 0;
    int64_t n = 777;
    pcm_ptr out;
    EXPECT_EQ(denoise_pcm(&dummy, 0, 48000, 1, 10, &out, &n), -1);
    EXPECT_STREQ(g_err, "denoise produced no samples");
    EXPECT_EQ(out.get(), nullptr);
    EXPECT_EQ(n, 777);

    EXPECT_EQ(denoise_pcm(&dummy, 0, 44100, 2, 10, &out, &n), -1);
    EXPECT_STREQ(g_err, "denoise up-resample graph failed");
    EXPECT_EQ(out.get(), nullptr);
    EXPECT_EQ(n, 777);
}

// ---- Frames, tails and the mix ----------------------------------------------

TEST(DenoiseFrames, ThousandSamplesAreTwoFramesAndAnUntouchedTail) {
    release_denoiser();
    samples in = interleave({white(1000, 0.1, 2), white(1000, 0.1, 3)});
    stage_out out = denoise(in, 48000, 2, 10);
    ASSERT_EQ(out.frames, 1000);
    for (int c = 0; c < 2; c++) {
        int changed = 0;
        for (int i = 0; i < 960; i++)
            changed += out.pcm[i * 2 + c] != untouched(in[i * 2 + c]);
        EXPECT_GT(changed, 900) << "channel " << c << ": the whole frames go through RNNoise";
        for (int i = 960; i < 1000; i++)
            ASSERT_EQ(out.pcm[i * 2 + c], untouched(in[i * 2 + c]))
                << "channel " << c << " tail sample " << i;
    }
}

TEST(DenoiseFrames, ChannelShorterThanAFrameIsCopied) {
    release_denoiser();
    samples in = interleave({white(479, 0.1, 4), white(479, 0.1, 5)});
    in[0] = 32767;
    in[1] = -32768;
    stage_out out = denoise(in, 48000, 2, 10);
    ASSERT_EQ(out.frames, 479);
    for (size_t i = 0; i < in.size(); i++) ASSERT_EQ(out.pcm[i], untouched(in[i])) << i;
}

TEST(DenoiseFrames, LevelSetsTheShareOfTheDenoisedSignal) {
    // From a fresh instance RNNoise gives the same output each time, so the
    // level-10 run is the denoised wave that the other levels mix in.
    samples in = interleave({white(4800, 0.05, 6)});
    release_denoiser();
    stage_out full = denoise(in, 48000, 1, 10);
    for (int level : {1, 5}) {
        release_denoiser();
        stage_out part = denoise(in, 48000, 1, level);
        ASSERT_EQ(part.frames, full.frames);
        const double a = level / 10.0;
        double worst = 0.0;
        for (size_t i = 0; i < in.size(); i++) {
            double expect = in[i] * (1.0 - a) + full.pcm[i] * a;
            worst = std::max(worst, std::fabs(part.pcm[i] - expect));
        }
        // Truncations on both sides: a couple of steps at most.
        EXPECT_LE(worst, 2.0) << "level " << level;
    }
    double diff = 0.0;
    for (size_t i = 0; i < in.size(); i++) diff += std::fabs(full.pcm[i] - in[i]);
    EXPECT_GT(diff / in.size(), 100.0) << "level 10 must remove most of white noise";
}

// ---- Instance ----------------------------------------------------------------

TEST(DenoiseInstance, ReleaseClearsAndTheNextCallStartsFresh) {
    samples in = interleave({white(2400, 0.05, 7)});
    release_denoiser();
    EXPECT_EQ(denoiser_instance(), nullptr);
    stage_out first = denoise(in, 48000, 1, 10);
    EXPECT_NE(denoiser_instance(), nullptr);
    const DenoiseState* kept = denoiser_instance();
    stage_out second = denoise(in, 48000, 1, 10);
    EXPECT_EQ(denoiser_instance(), kept) << "one instance serves every stage of a call";
    EXPECT_NE(first.pcm, second.pcm) << "the second run starts from the first run's history";

    release_denoiser();
    EXPECT_EQ(denoiser_instance(), nullptr);
    release_denoiser();  // twice is harmless
    EXPECT_EQ(denoiser_instance(), nullptr);
    stage_out fresh = denoise(in, 48000, 1, 10);
    EXPECT_NE(denoiser_instance(), nullptr);
    EXPECT_EQ(fresh.pcm, first.pcm) << "after release the stage starts from a new instance";
}

TEST(DenoiseInstance, ChannelsRunOneAfterTheOtherThroughOneInstance) {
    wave x = white(2400, 0.05, 8);
    release_denoiser();
    stage_out stereo = denoise(interleave({x, x}), 48000, 2, 10);
    release_denoiser();
    stage_out mono1 = denoise(interleave({x}), 48000, 1, 10);
    stage_out mono2 = denoise(interleave({x}), 48000, 1, 10);
    ASSERT_EQ(stereo.frames, 2400);
    samples left(2400), right(2400);
    for (int i = 0; i < 2400; i++) {
        left[i] = stereo.pcm[i * 2];
        right[i] = stereo.pcm[i * 2 + 1];
    }
    EXPECT_EQ(left, mono1.pcm);
    EXPECT_EQ(right, mono2.pcm);
}

// ---- Alignment and balance ---------------------------------------------------

// RNNoise delays what it returns; the stage has to take that back out.
TEST(DenoiseAlignment, RnnoiseLagIsTwoFrames) {
    DenoiseState* st = rnnoise_create(nullptr);
    ASSERT_NE(st, nullptr);
    ASSERT_EQ(rnnoise_get_frame_size(), 480);
    wave x = chirp(48000, 48000, 0.3), y(x.size());
    float in[480], out[480];
    for (size_t f = 0; f + 480 <= x.size(); f += 480) {
        for (int i = 0; i < 480; i++) in[i] = static_cast<float>(x[f + i] * 32768.0);
        rnnoise_process_frame(st, out, in);
        for (int i = 0; i < 480; i++) y[f + i] = out[i] / 32768.0;
    }
    rnnoise_destroy(st);
    EXPECT_EQ(xcorr_peak(x, y, 2000), 960);
}

TEST(DenoiseAlignment, CleanSineAtLevel10ComesBackInPlace) {
    release_denoiser();
    wave x = chirp(2 * 48000 + 300, 48000, 0.3);
    stage_out out = denoise(interleave({x}), 48000, 1, 10);
    ASSERT_EQ(out.frames, static_cast<int64_t>(x.size()));
    wave y = channel(out.pcm, 1, 0);
    EXPECT_EQ(xcorr_peak(x, y, 2000), 0);
    // In place and not smeared: it still lines up sample by sample.
    EXPECT_GT(correlation(x, y), 0.95);
}

TEST(DenoiseAlignment, CleanSpeechAtLevel5KeepsEveryOctaveBand) {
    for (int rate : {48000, 44100}) {
        release_denoiser();
        samples in = read_speech(rate, 1);
        ASSERT_FALSE(in.empty());
        stage_out out = denoise(in, rate, 1, 5);
        std::vector<double> before = octave_bands(channel(in, 1, 0), rate);
        std::vector<double> after = octave_bands(channel(out.pcm, 1, 0), rate);
        double loudest = *std::max_element(before.begin(), before.end());
        for (size_t b = 0; b < before.size(); b++) {
            if (before[b] < loudest - 40.0) continue;  // nothing there to keep
            EXPECT_NEAR(after[b], before[b], 1.0)
                << rate << " Hz, band centred on " << 125 * (1 << b) << " Hz";
        }
    }
}

// ---- Noise -------------------------------------------------------------------

namespace {

struct noise_case {
    const char* name;
    wave (*make)(size_t n, int rate, double rms);
};

wave make_pink(size_t n, int, double r) { return pink(n, r, 11); }
wave make_fan(size_t n, int rate, double r) { return fan(n, rate, r, 12); }

struct figures {
    double floor_db = 0, quiet_rms_db = 0, integrated = 0;
    int64_t frames = 0;
};

figures measure(const samples& pcm, int rate, size_t quiet_from, size_t quiet_to) {
    figures f;
    loudness_stats st;
    EXPECT_EQ(measure_pcm(pcm.data(), static_cast<int64_t>(pcm.size()), rate, 1,
                          settings_from_env(), &st),
              0)
        << g_err;
    f.floor_db = st.noise_floor;
    f.integrated = st.integrated;
    f.quiet_rms_db = db(rms(channel(pcm, 1, 0), quiet_from, quiet_to));
    f.frames = static_cast<int64_t>(pcm.size());
    return f;
}

}  // namespace

// Speech with noise 25 dB under it: the speech-free lead-in must drop,
// the speech must stay, and the length must not change.
TEST(DenoiseNoise, NoiseUnderSpeechIsReduced) {
    const noise_case cases[] = {{"pink", make_pink}, {"fan", make_fan}};
    for (int rate : {48000, 44100}) {
        wave speech = padded_speech(rate);
        ASSERT_GT(speech.size(), static_cast<size_t>(3 * rate));
        const size_t body_from = static_cast<size_t>(LEAD_S * rate);
        const double speech_rms = rms(speech, body_from, speech.size() - rate);
        const size_t quiet_from = static_cast<size_t>(0.3 * rate);
        const size_t quiet_to = static_cast<size_t>(1.4 * rate);
        for (const noise_case& nc : cases) {
            wave noisy = nc.make(speech.size(), rate, speech_rms * std::pow(10.0, -25.0 / 20));
            for (size_t i = 0; i < noisy.size(); i++) noisy[i] += speech[i];
            samples in = interleave({noisy});
            figures before = measure(in, rate, quiet_from, quiet_to);
            std::printf("[%s %d Hz] before: floor %.1f dB, quiet %.1f dBFS, I %.1f LUFS\n",
                        nc.name, rate, before.floor_db, before.quiet_rms_db, before.integrated);
            double last_quiet = before.quiet_rms_db;
            for (int level : {3, 6, 10}) {
                release_denoiser();
                stage_out out = denoise(in, rate, 1, level);
                figures after = measure(out.pcm, rate, quiet_from, quiet_to);
                double ms = 1000.0 * static_cast<double>(after.frames - before.frames) / rate;
                std::printf(
                    "[%s %d Hz] level %2d: floor %.1f dB (%+.1f), quiet %.1f dBFS (%+.1f), "
                    "I %.1f LUFS (%+.1f), length %+.2f ms\n",
                    nc.name, rate, level, after.floor_db, after.floor_db - before.floor_db,
                    after.quiet_rms_db, after.quiet_rms_db - before.quiet_rms_db,
                    after.integrated, after.integrated - before.integrated, ms);
                SCOPED_TRACE(std::string(nc.name) + " " + std::to_string(rate) + " Hz level " +
                             std::to_string(level));
                EXPECT_LE(std::fabs(ms), 10.0);
                EXPECT_LT(after.quiet_rms_db, last_quiet) << "a higher level removes more";
                last_quiet = after.quiet_rms_db;
                EXPECT_LT(after.floor_db, before.floor_db);
                EXPECT_NEAR(after.integrated, before.integrated, 3.0) << "speech level";
                if (level == 10) {
                    EXPECT_LE(after.quiet_rms_db, before.quiet_rms_db - 15.0);
                }
            }
        }
    }
}

// ---- Through the enhance call ------------------------------------------------

namespace {

// The "applied" list of an enhance answer, comma-separated.
std::string applied_of(const char* json) {
    std::string list;
    yyjson_doc* doc = yyjson_read(json, std::strlen(json), 0);
    if (!doc) return "<unparsable>";
    yyjson_val* arr = yyjson_obj_get(yyjson_doc_get_root(doc), "applied");
    size_t i, n;
    yyjson_val* v;
    yyjson_arr_foreach(arr, i, n, v) {
        list += (i ? "," : "");
        list += yyjson_get_str(v) ? yyjson_get_str(v) : "?";
    }
    yyjson_doc_free(doc);
    return list;
}

}  // namespace

TEST(DenoiseEnhance, StageRunsFirstAndLeavesNoInstanceBehind) {
    const std::string in = ffmpeg_fixture(
        "denoise_noisy_44k.wav",
        "-i '" + speech_fixture(22050, 1) +
            "' -f lavfi -i anoisesrc=color=pink:amplitude=0.01:sample_rate=44100:seed=5 "
            "-filter_complex '[0:a]aresample=44100,adelay=1500:all=1,apad=pad_dur=1[v];"
            "[v][1:a]amix=inputs=2:duration=first:normalize=0' -ar 44100 -ac 2");
    const std::string dir = scratch_dir("denoise_enhance");
    decoded_file before;
    ASSERT_TRUE(decode_file(in, &before));
    const size_t quiet_from = static_cast<size_t>(0.3 * 44100);
    const size_t quiet_to = static_cast<size_t>(1.4 * 44100);
    const samples before_pcm(before.pcm.get(), before.pcm.get() + before.frames * 2);
    const double quiet_before = db(rms(channel(before_pcm, 2, 0), quiet_from, quiet_to));

    for (int pass = 0; pass < 2; pass++) {
        // The second call needs an instance of its own: the first destroyed it.
        const std::string out = dir + "/out" + std::to_string(pass) + ".wav";
        const char* json = nullptr;
        ASSERT_EQ(audioenhancer_enhance(in.c_str(), out.c_str(),
                                        "{\"denoise\":10,\"loudnorm\":false}", &json),
                  0)
            << audioenhancer_last_error();
        EXPECT_EQ(applied_of(json), "denoise");
        EXPECT_EQ(denoiser_instance(), nullptr);

        decoded_file after;
        ASSERT_TRUE(decode_file(out, &after));
        EXPECT_EQ(after.sample_rate, 44100);
        EXPECT_EQ(after.channels, 2);
        EXPECT_LE(std::llabs(after.frames - before.frames), 441) << "within 10 ms";
        const samples after_pcm(after.pcm.get(), after.pcm.get() + after.frames * 2);
        const double quiet_after = db(rms(channel(after_pcm, 2, 0), quiet_from, quiet_to));
        EXPECT_LE(quiet_after, quiet_before - 15.0) << "pass " << pass;
    }
}
