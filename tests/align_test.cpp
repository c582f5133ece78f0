// Sample alignment: every stage of the enhance chain, compensated by the
// delay chain_delay measures, hands back input frame n as output frame n and
// keeps the input's length, at 44.1 and 48 kHz.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "analysis/log_capture.h"
#include "audioenhancer.h"
#include "analysis/measure.h"
#include "base/error.h"
#include "base/options.h"
#include "engine/graph.h"
#include "enhance/align.h"
#include "enhance/chain.h"
#include "enhance/denoise.h"
#include "enhance/level.h"
#include "fixtures.h"

namespace {

using samples = std::vector<int16_t>;

constexpr double PI = 3.14159265358979323846;

samples copy_of(const int16_t* pcm, int64_t frames, int channels) {
    return samples(pcm, pcm + frames * channels);
}

// The chain runner with a delay: it pushes that many frames of silence after
// the input and drops as many from the start of the output.
samples run_compensated(const std::string& chain, const samples& in, int rate, int channels,
                        int64_t delay) {
    graph_context g;
    EXPECT_EQ(graph_setup(&g, chain.c_str(), rate, channels), 0) << g_err;
    g.delay = delay;
    pcm_ptr out;
    int64_t frames = 0;
    int rc = graph_run(&g, in.data(), static_cast<int64_t>(in.size()) / channels, &out, &frames);
    graph_release(&g);
    EXPECT_EQ(rc, 0) << g_err;
    if (rc != 0 || !out) return {};
    return samples(out.get(), out.get() + frames * channels);
}

// The lag of out against ref over one second from the second second on.
int64_t lag_of(const samples& ref, const samples& out, int rate, int channels, double* score) {
    return best_lag(ref.data(), static_cast<int64_t>(ref.size()) / channels, out.data(),
                    static_cast<int64_t>(out.size()) / channels, channels, rate, rate, rate / 20,
                    score);
}

double rms(const samples& s, int channels, int64_t from, int64_t to) {
    double e = 0.0;
    for (int64_t i = from * channels; i < to * channels; i++) e += double(s[i]) * s[i];
    return std::sqrt(e / double((to - from) * channels));
}

}  // namespace

// best_lag, which both the delay measurement and the checks below rely on,
// finds a known shift of noise in either direction and scores unrelated audio
// near zero.
TEST(AlignLag, RecoversKnownShifts) {
    const int channels = 2;
    const int64_t n = 20000;
    samples noise(n * channels);
    uint32_t state = 7;
    for (int16_t& s : noise) {
        state = state * 1103515245u + 12345u;
        s = static_cast<int16_t>(static_cast<int32_t>(state >> 16) - 32768) / 2;
    }
    for (int64_t shift : {0, 1, -1, 37, -250, 1200}) {
        samples shifted(noise.size(), 0);
        for (int64_t i = 0; i < n; i++)
            for (int c = 0; c < channels; c++)
                if (i + shift >= 0 && i + shift < n)
                    shifted[(i + shift) * channels + c] = noise[i * channels + c];
        double score = 0.0;
        EXPECT_EQ(best_lag(noise.data(), n, shifted.data(), n, channels, 4000, 8192, 1500, &score),
                  shift);
        EXPECT_GT(score, 0.99) << shift;
    }
    samples other(noise.rbegin(), noise.rend());
    double score = 1.0;
    best_lag(noise.data(), n, other.data(), n, channels, 4000, 8192, 1500, &score);
    EXPECT_LT(score, 0.1);
}

// Each stage's measured delay is what speech, not the probe's noise, shows:
// afftdn's raw output is late by exactly that much, every other stage by 0.
TEST(AlignLag, MeasuredDelayMatchesSpeech) {
    for (int rate : {44100, 48000}) {
        decoded_file d;
        ASSERT_TRUE(decode_file(speech_fixture(rate, 1), &d));
        samples in = copy_of(d.pcm.get(), d.frames, 1);
        int64_t delay = -1;
        ASSERT_EQ(stage_delay("afftdn=nr=12", rate, 0.5, &delay), 0) << g_err;
        EXPECT_GT(delay, 0) << "afftdn delays by its window";
        samples raw = run_compensated("afftdn=nr=12", in, rate, 1, 0);
        double score = 0.0;
        EXPECT_NEAR(lag_of(in, raw, rate, 1, &score), delay, 2) << rate;
        ASSERT_EQ(stage_delay("adeclick", rate, 0.5, &delay), 0) << g_err;
        EXPECT_EQ(delay, 0);
    }
    int64_t delay = 0;
    EXPECT_EQ(stage_delay("nosuchfilter", 48000, 0.5, &delay), -1);
    EXPECT_NE(std::strstr(g_err, "cannot measure the delay of nosuchfilter"), nullptr) << g_err;
    EXPECT_EQ(stage_delay("afftdn", 0, 0.5, &delay), -1);
    // A stage that throws its input away has no delay to measure.
    EXPECT_EQ(stage_delay("volume=0", 48000, 0.0, &delay), -1);
    enhance_options opt;
    EXPECT_EQ(chain_delay(opt, 48000, 0, &delay), -1);
}

namespace {

struct stage_case {
    const char* name;
    const char* options;
    int rate;
    int channels;
    const char* loudnorm_mode;  // the mode loudnorm must run in, or null
};

void PrintTo(const stage_case& c, std::ostream* os) { *os << c.name << "@" << c.rate; }

class AlignStage : public ::testing::TestWithParam<stage_case> {};

}  // namespace

// The enhance path end to end on speech: RNNoise when asked, the composed
// chain compensated by chain_delay, then the leveller (loudnorm's pass and
// the limiter back at the input's rate). The output starts where the input
// starts and is as long.
TEST_P(AlignStage, OutputFrameNIsInputFrameN) {
    const stage_case& c = GetParam();
    enhance_options opt;
    ASSERT_EQ(parse_options(c.options, &opt), 0) << g_err;
    decoded_file d;
    ASSERT_TRUE(decode_file(speech_fixture(c.rate, c.channels), &d));
    ASSERT_GT(d.frames, 4 * c.rate);
    samples in = copy_of(d.pcm.get(), d.frames, c.channels);
    samples cur = in;
    int64_t frames = d.frames;
    if (opt.denoise >= 1) {
        pcm_ptr out;
        int64_t n = 0;
        ASSERT_EQ(denoise_pcm(in.data(), frames, c.rate, c.channels, opt.denoise, &out, &n),
                  0);
        // Resampled to 48 kHz and back at other rates, still frame for frame.
        ASSERT_EQ(n, frames);
        cur = copy_of(out.get(), frames, c.channels);
    }
    loudness_stats st;
    ASSERT_EQ(measure_pcm(cur.data(), frames, c.rate, c.channels, settings_from_env(), &st,
                          measure_kind::level),
              0);
    char chain[CHAIN_SIZE] = "";
    applied_list applied;
    compose_chain(opt, st.true_peak, chain, sizeof chain, &applied);
    std::string text = chain;
    int64_t delay = -1;
    ASSERT_EQ(chain_delay(opt, c.rate, c.channels, &delay), 0) << g_err;
    samples out = text.empty() ? cur : run_compensated(text, cur, c.rate, c.channels, delay);
    if (opt.loudnorm) {
        // The leveller, in the mode the case is named for.
        int64_t n = static_cast<int64_t>(out.size()) / c.channels;
        pcm_ptr p(static_cast<int16_t*>(std::malloc(out.size() * sizeof(int16_t))));
        std::memcpy(p.get(), out.data(), out.size() * sizeof(int16_t));
        loudness_stats m, levelled;
        ASSERT_EQ(measure_pcm(p.get(), n, c.rate, c.channels, settings_from_env(), &m,
                              measure_kind::level),
                  0);
        level_report report;
        ASSERT_EQ(level_pcm(&p, &n, c.rate, c.channels, opt.target_lufs, LEVEL_CEILING_DB, m,
                            true, settings_from_env(), &levelled, &report),
                  0)
            << g_err;
        if (c.loudnorm_mode) {
            EXPECT_STREQ(report.mode, c.loudnorm_mode);
        }
        out = copy_of(p.get(), n, c.channels);
        text = report.mode;
    }
    EXPECT_EQ(out.size(), in.size()) << text;
    double score = 0.0;
    int64_t lag = lag_of(in, out, c.rate, c.channels, &score);
    EXPECT_LE(std::llabs(lag), 2) << text << " (delay " << delay << ")";
    EXPECT_GT(score, 0.5) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Stages, AlignStage,
    ::testing::Values(
        stage_case{"rnnoise", R"({"denoise":5,"loudnorm":false})", 44100, 1, nullptr},
        stage_case{"rnnoise", R"({"denoise":5,"loudnorm":false})", 48000, 2, nullptr},
        stage_case{"afftdn8", R"({"denoise":8,"loudnorm":false})", 44100, 2, nullptr},
        stage_case{"afftdn8", R"({"denoise":8,"loudnorm":false})", 48000, 1, nullptr},
        stage_case{"afftdn9", R"({"denoise":9,"loudnorm":false})", 44100, 1, nullptr},
        stage_case{"afftdn9", R"({"denoise":9,"loudnorm":false})", 48000, 2, nullptr},
        stage_case{"afftdn10", R"({"denoise":10,"loudnorm":false})", 44100, 2, nullptr},
        stage_case{"afftdn10", R"({"denoise":10,"loudnorm":false})", 48000, 1, nullptr},
        stage_case{"adeclick", R"({"repair_clicks":true,"loudnorm":false})", 44100, 1, nullptr},
        stage_case{"adeclick", R"({"repair_clicks":true,"loudnorm":false})", 48000, 2, nullptr},
        stage_case{"podcast", R"({"eq":"podcast","loudnorm":false})", 44100, 2, nullptr},
        stage_case{"podcast", R"({"eq":"podcast","loudnorm":false})", 48000, 1, nullptr},
        stage_case{"music", R"({"eq":"music","loudnorm":false})", 44100, 1, nullptr},
        stage_case{"music", R"({"eq":"music","loudnorm":false})", 48000, 2, nullptr},
        stage_case{"voice", R"({"eq":"voice","loudnorm":false})", 44100, 2, nullptr},
        stage_case{"voice", R"({"eq":"voice","loudnorm":false})", 48000, 1, nullptr},
        stage_case{"peak", R"({"normalize_peak":true,"loudnorm":false})", 44100, 1, nullptr},
        stage_case{"peak", R"({"normalize_peak":true,"loudnorm":false})", 48000, 2, nullptr},
        stage_case{"linear", R"({"target_lufs":-30})", 44100, 2, "linear"},
        stage_case{"linear", R"({"target_lufs":-30})", 48000, 1, "linear"},
        stage_case{"dynamic", R"({"target_lufs":-5})", 44100, 1, "dynamic"},
        stage_case{"dynamic", R"({"target_lufs":-5})", 48000, 2, "dynamic"},
        stage_case{"all", R"({"denoise":10,"repair_clicks":true,"eq":"podcast",)"
                          R"("normalize_peak":true})",
                   44100, 2, nullptr},
        stage_case{"all", R"({"denoise":10,"repair_clicks":true,"eq":"podcast",)"
                          R"("normalize_peak":true})",
                   48000, 1, nullptr}),
    [](const ::testing::TestParamInfo<stage_case>& info) {
        return std::string(info.param.name) + "_" + std::to_string(info.param.rate) + "_" +
               std::to_string(info.param.channels);
    });

// A tone that starts 20 ms before the end and lasts to the very last sample
// comes through spectral denoise whole: without the compensation its start
// would land past the end and nothing of it would be left.
TEST(AlignTail, ToneToTheLastSampleSurvivesSpectralDenoise) {
    enhance_options opt;
    ASSERT_EQ(parse_options(R"({"denoise":8,"loudnorm":false})", &opt), 0);
    for (int rate : {44100, 48000}) {
        const int channels = 2;
        const int64_t frames = rate, tone = rate / 50;
        samples in(frames * channels, 0);
        for (int64_t i = frames - tone; i < frames; i++)
            for (int c = 0; c < channels; c++)
                in[i * channels + c] =
                    static_cast<int16_t>(8000.0 * std::sin(2.0 * PI * 1000.0 * i / rate));
        char chain[CHAIN_SIZE] = "";
        applied_list applied;
        compose_chain(opt, -6.0, chain, sizeof chain, &applied);
        int64_t delay = -1;
        ASSERT_EQ(chain_delay(opt, rate, channels, &delay), 0) << g_err;
        samples out = run_compensated(chain, in, rate, channels, delay);
        ASSERT_EQ(out.size(), in.size());
        double want = rms(in, channels, frames - tone, frames);
        // The whole burst, and its last 5 ms, keep their level within 3 dB.
        EXPECT_NEAR(20 * std::log10(rms(out, channels, frames - tone, frames) / want), 0.0, 3.0);
        EXPECT_NEAR(20 * std::log10(rms(out, channels, frames - rate / 200, frames) / want), 0.0,
                    3.0)
            << rate;
        // Before the burst the output stays silent: nothing arrived early.
        EXPECT_LT(rms(out, channels, 0, frames - tone - rate / 100), 50.0);
    }
}

// Batch enhances on several threads at once: threads that meet a rate for the
// first time together measure it side by side and agree, and the cached
// answer that follows is the same.
TEST(AlignCache, ThreadsMeasuringTogetherAgree) {
    enhance_options opt;
    ASSERT_EQ(parse_options(R"({"denoise":8,"repair_clicks":true,"loudnorm":false})", &opt), 0);
    const int rate = 32000;
    int64_t delays[4] = {-1, -1, -1, -1};
    int rcs[4] = {-1, -1, -1, -1};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&, i] {
            rcs[i] = chain_delay(opt, rate, 1 + i % 2, &delays[i]);
        });
    for (std::thread& t : threads) t.join();
    int64_t again = -1;
    ASSERT_EQ(chain_delay(opt, rate, 2, &again), 0) << g_err;
    EXPECT_GT(again, 0);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(rcs[i], 0);
        EXPECT_EQ(delays[i], again) << i;
    }
}

// Through the library's own call: the written file starts where the input
// starts and is exactly as long, with spectral denoise and the whole chain.
TEST(AlignEnhance, WrittenFileKeepsEveryFrameInPlace) {
    std::string dir = scratch_dir("align_enhance");
    for (int rate : {44100, 48000}) {
        std::string in = speech_fixture(rate, 2);
        decoded_file src;
        ASSERT_TRUE(decode_file(in, &src));
        samples ref = copy_of(src.pcm.get(), src.frames, 2);
        for (const char* options :
             {R"({"denoise":9,"loudnorm":false})",
              R"({"denoise":10,"repair_clicks":true,"eq":"voice","normalize_peak":true})"}) {
            std::string out = dir + "/" + std::to_string(rate) + ".wav";
            const char* json = nullptr;
            ASSERT_EQ(audioenhancer_enhance(in.c_str(), out.c_str(), options, &json), 0)
                << options << ": " << audioenhancer_last_error();
            decoded_file got;
            ASSERT_TRUE(decode_file(out, &got));
            EXPECT_EQ(got.frames, src.frames) << options << " at " << rate;
            samples res = copy_of(got.pcm.get(), got.frames, 2);
            double score = 0.0;
            EXPECT_LE(std::llabs(lag_of(ref, res, rate, 2, &score)), 2) << options;
            EXPECT_GT(score, 0.5) << options;
        }
    }
}
