// The filter-graph runner: chunking, setup failures, output collection and
// the conversion of every output sample format to 16-bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include "analysis/log_capture.h"
#include "base/error.h"
#include "engine/graph.h"
#include "engine/pcm.h"
#include "fixtures.h"

namespace {

std::vector<int16_t> noise(int64_t frames, int channels, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> d(-32768, 32767);
    std::vector<int16_t> v(static_cast<size_t>(frames * channels));
    for (auto& s : v) s = static_cast<int16_t>(d(rng));
    if (!v.empty()) {
        v[0] = -32768;
        v[v.size() - 1] = 32767;
    }
    return v;
}

struct run_result {
    int rc = -2;
    pcm_ptr pcm;
    int64_t frames = -7;
};

run_result run(const char* chain, const std::vector<int16_t>& in, int rate, int channels) {
    run_result r;
    g_err[0] = '\0';
    int64_t frames = static_cast<int64_t>(in.size()) / channels;
    r.rc = run_chain(chain, in.empty() ? nullptr : in.data(), frames, rate, channels, &r.pcm, &r.frames);
    return r;
}

struct env_guard {
    const char* name;
    explicit env_guard(const char* n) : name(n) { unsetenv(name); }
    ~env_guard() { unsetenv(name); }
};

// "pts:<n>" and "nb_samples:<n>" of every frame ashowinfo logged.
void showinfo_frames(const char* text, std::vector<long long>* pts, std::vector<long long>* nb) {
    for (const char* p = std::strstr(text, " pts:"); p; p = std::strstr(p + 1, " pts:"))
        pts->push_back(std::strtoll(p + 5, nullptr, 10));
    for (const char* p = std::strstr(text, "nb_samples:"); p; p = std::strstr(p + 1, "nb_samples:"))
        nb->push_back(std::strtoll(p + 11, nullptr, 10));
}

// A frame built by hand, as a filter would hand it to the sink.
struct owned_frame {
    AVFrame* f = nullptr;
    owned_frame(AVSampleFormat fmt, int channels, int nb) {
        f = av_frame_alloc();
        f->format = fmt;
        f->nb_samples = nb;
        f->sample_rate = 48000;
        av_channel_layout_default(&f->ch_layout, channels);
        if (av_frame_get_buffer(f, 0) < 0) ADD_FAILURE() << "av_frame_get_buffer";
    }
    ~owned_frame() { av_frame_free(&f); }
    template <typename T>
    T* plane(int c) const { return reinterpret_cast<T*>(f->extended_data[c]); }
};

}  // namespace

// ---------------------------------------------------------------- chunking

TEST(GraphChunks, TenThousandFramesGoAsThreeChunks) {
    std::vector<int16_t> in = noise(10000, 1, 1);
    env_guard guard("AE_DEBUG");
    setenv("AE_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    log_capture_begin();
    run_result r = run("ashowinfo", in, 48000, 1);
    log_capture_end();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(r.rc, 0) << g_err;
    EXPECT_EQ(r.frames, 10000);

    EXPECT_EQ(err,
              "[AE] add frame fmt=1 sr=48000 ch=1 nf=4096\n"
              "[AE] add frame fmt=1 sr=48000 ch=1 nf=4096\n"
              "[AE] add frame fmt=1 sr=48000 ch=1 nf=1808\n");

    std::vector<long long> pts, nb;
    showinfo_frames(log_capture_text(), &pts, &nb);
    EXPECT_EQ(pts, (std::vector<long long>{0, 4096, 8192}));
    EXPECT_EQ(nb, (std::vector<long long>{4096, 4096, 1808}));
}

TEST(GraphChunks, ExactlyOneChunk) {
    std::vector<int16_t> in = noise(4096, 2, 2);
    env_guard guard("AE_DEBUG");
    setenv("AE_DEBUG", "", 1);
    testing::internal::CaptureStderr();
    log_capture_begin();
    run_result r = run("ashowinfo", in, 44100, 2);
    log_capture_end();
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(r.rc, 0) << g_err;
    EXPECT_EQ(err, "[AE] add frame fmt=1 sr=44100 ch=2 nf=4096\n");
    std::vector<long long> pts, nb;
    showinfo_frames(log_capture_text(), &pts, &nb);
    EXPECT_EQ(pts, (std::vector<long long>{0}));
    EXPECT_EQ(nb, (std::vector<long long>{4096}));
    ASSERT_EQ(r.frames, 4096);
    EXPECT_EQ(std::memcmp(r.pcm.get(), in.data(), in.size() * 2), 0);
}

TEST(GraphChunks, OneFrameAndOneOverAChunk) {
    for (int64_t n : {int64_t(1), int64_t(4097), int64_t(8192)}) {
        std::vector<int16_t> in = noise(n, 1, 3);
        log_capture_begin();
        run_result r = run("ashowinfo", in, 8000, 1);
        log_capture_end();
        ASSERT_EQ(r.rc, 0) << g_err;
        EXPECT_EQ(r.frames, n);
        std::vector<long long> pts, nb;
        showinfo_frames(log_capture_text(), &pts, &nb);
        std::vector<long long> want_pts, want_nb;
        for (int64_t off = 0; off < n; off += 4096) {
            want_pts.push_back(off);
            want_nb.push_back(std::min<int64_t>(4096, n - off));
        }
        EXPECT_EQ(pts, want_pts) << n;
        EXPECT_EQ(nb, want_nb) << n;
    }
}

TEST(GraphChunks, SilentWithoutDebug) {
    env_guard guard("AE_DEBUG");
    testing::internal::CaptureStderr();
    run_result r = run("anull", noise(5000, 1, 4), 48000, 1);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(r.rc, 0) << g_err;
    EXPECT_EQ(err, "");
}

// ---------------------------------------------------------------- setup failures

TEST(GraphSetup, TwoOutputsAreRefused) {
    graph_context g;
    EXPECT_EQ(graph_setup(&g, "asplit", 48000, 2), -1);
    EXPECT_STREQ(g_err, "filtergraph must have exactly one input and one output: asplit");
    EXPECT_FALSE(g.graph);
    EXPECT_EQ(g.src, nullptr);
    EXPECT_EQ(g.sink, nullptr);
    EXPECT_FALSE(g.frame);
}

TEST(GraphSetup, NoFreeInputIsRefused) {
    graph_context g;
    EXPECT_EQ(graph_setup(&g, "sine=d=1", 48000, 1), -1);
    EXPECT_STREQ(g_err, "filtergraph must have exactly one input and one output: sine=d=1");
    EXPECT_FALSE(g.graph);
}

TEST(GraphSetup, ChainThatDoesNotParse) {
    for (const char* chain : {"nosuchfilter", "volume=nosuchoption=1", "anull,,anull", "anull[x"}) {
        graph_context g;
        g_err[0] = '\0';
        EXPECT_EQ(graph_setup(&g, chain, 48000, 1), -1) << chain;
        EXPECT_EQ(std::string(g_err), std::string("filtergraph parse failed: ") + chain);
        EXPECT_FALSE(g.graph);
        EXPECT_FALSE(g.frame);
    }
}

TEST(GraphSetup, ChainThatDoesNotConfigure) {
    // A mono input has no front-right channel to map.
    graph_context g;
    EXPECT_EQ(graph_setup(&g, "channelmap=map=FR", 48000, 1), -1);
    EXPECT_STREQ(g_err, "filtergraph config failed: channelmap=map=FR");
    EXPECT_FALSE(g.graph);
    EXPECT_EQ(g.src, nullptr);
    EXPECT_EQ(g.sink, nullptr);
    EXPECT_FALSE(g.frame);
}

TEST(GraphSetup, ConfiguredContextCarriesRateAndChannels) {
    graph_context g;
    ASSERT_EQ(graph_setup(&g, "anull", 22050, 2), 0) << g_err;
    EXPECT_TRUE(g.graph);
    ASSERT_NE(g.src, nullptr);
    ASSERT_NE(g.sink, nullptr);
    EXPECT_STREQ(g.src->name, "src");
    EXPECT_STREQ(g.sink->name, "snk");
    EXPECT_TRUE(g.frame);
    EXPECT_EQ(g.sample_rate, 22050);
    EXPECT_EQ(g.channels, 2);
    graph_release(&g);
    EXPECT_FALSE(g.graph);
    EXPECT_FALSE(g.frame);
    EXPECT_EQ(g.src, nullptr);
}

// ---------------------------------------------------------------- running

TEST(GraphRun, EmptyInputProducesNothing) {
    graph_context g;
    ASSERT_EQ(graph_setup(&g, "anull", 48000, 1), 0) << g_err;
    pcm_ptr out;
    int64_t frames = -7;
    EXPECT_EQ(graph_run(&g, nullptr, 0, &out, &frames), -1);
    EXPECT_STREQ(g_err, "filtergraph produced no output");
    EXPECT_FALSE(out);
    EXPECT_EQ(frames, -7);
    graph_release(&g);
}

TEST(GraphRun, AnullIsBitExact) {
    std::vector<int16_t> in = noise(100000, 2, 5);
    run_result r = run("anull", in, 48000, 2);
    ASSERT_EQ(r.rc, 0) << g_err;
    ASSERT_EQ(r.frames, 100000);
    EXPECT_EQ(std::memcmp(r.pcm.get(), in.data(), in.size() * 2), 0);
}

TEST(GraphRun, InputIsNotModified) {
    std::vector<int16_t> in = noise(9000, 1, 6);
    std::vector<int16_t> copy = in;
    run_result r = run("volume=0.5", in, 48000, 1);
    ASSERT_EQ(r.rc, 0) << g_err;
    EXPECT_EQ(in, copy);
    ASSERT_EQ(r.frames, 9000);
    // volume halves with rounding: every sample is within one step.
    for (size_t i = 0; i < in.size(); i++) ASSERT_NEAR(r.pcm.get()[i], in[i] / 2.0, 1.0) << i;
}

class GraphChannels : public ::testing::TestWithParam<int> {};

TEST_P(GraphChannels, AnullPassesEveryChannelUnchanged) {
    int channels = GetParam();
    std::vector<int16_t> in = noise(12345, channels, 7 + channels);
    run_result r = run("anull", in, 48000, channels);
    ASSERT_EQ(r.rc, 0) << g_err;
    ASSERT_EQ(r.frames, 12345);
    EXPECT_EQ(std::memcmp(r.pcm.get(), in.data(), in.size() * 2), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, GraphChannels, ::testing::Values(1, 2, 3, 4, 6, 8));

TEST(GraphRun, DiscardedOutputIsStillCounted) {
    std::vector<int16_t> in = noise(10000, 2, 8);
    graph_context g;
    ASSERT_EQ(graph_setup(&g, "anull", 48000, 2), 0) << g_err;
    int64_t frames = -7;
    EXPECT_EQ(graph_run(&g, in.data(), 10000, nullptr, &frames), 0) << g_err;
    EXPECT_EQ(frames, 10000);
    graph_release(&g);
}

TEST(GraphRun, ResampleChangesTheFrameCount) {
    // One second of a 440 Hz tone at 44.1 kHz.
    std::vector<int16_t> in(44100);
    for (int i = 0; i < 44100; i++) in[i] = static_cast<int16_t>(16000 * std::sin(2 * M_PI * 440 * i / 44100.0));
    run_result r = run("aresample=48000", in, 44100, 1);
    ASSERT_EQ(r.rc, 0) << g_err;
    EXPECT_NEAR(static_cast<double>(r.frames), 44100.0 * 48000 / 44100, 64.0);
    int peak = 0;
    for (int64_t i = 0; i < r.frames; i++) peak = std::max(peak, std::abs(static_cast<int>(r.pcm.get()[i])));
    EXPECT_NEAR(peak, 16000, 300);
}

TEST(GraphRun, HeldBackOutputArrivesAtTheEnd) {
    std::vector<int16_t> in = noise(10000, 2, 9);

    // areverse releases nothing until the end of the input.
    run_result rev = run("areverse", in, 48000, 2);
    ASSERT_EQ(rev.rc, 0) << g_err;
    ASSERT_EQ(rev.frames, 10000);
    for (int64_t i = 0; i < 10000; i++)
        for (int c = 0; c < 2; c++)
            ASSERT_EQ(rev.pcm.get()[i * 2 + c], in[(9999 - i) * 2 + c]) << i;

    // apad adds its padding after the last input frame.
    run_result pad = run("apad=pad_len=1000", in, 48000, 2);
    ASSERT_EQ(pad.rc, 0) << g_err;
    ASSERT_EQ(pad.frames, 11000);
    EXPECT_EQ(std::memcmp(pad.pcm.get(), in.data(), in.size() * 2), 0);
    for (int64_t i = 10000 * 2; i < 11000 * 2; i++) ASSERT_EQ(pad.pcm.get()[i], 0) << i;

    // atempo keeps a window of look-ahead.
    run_result tempo = run("atempo=2.0", in, 48000, 2);
    ASSERT_EQ(tempo.rc, 0) << g_err;
    EXPECT_NEAR(static_cast<double>(tempo.frames), 5000.0, 200.0);
}

TEST(GraphRun, DoubleOutputIsConvertedByTheFloatRule) {
    // The chain ends in double samples scaled by 1.5.
    std::vector<int16_t> in = {0, 16384, -16384, 32767, -32768, 21845, -21846, 1};
    run_result r = run("aformat=sample_fmts=dbl,volume=1.5:precision=double", in, 48000, 1);
    ASSERT_EQ(r.rc, 0) << g_err;
    ASSERT_EQ(r.frames, static_cast<int64_t>(in.size()));
    EXPECT_EQ(r.pcm.get()[0], 0);
    EXPECT_EQ(r.pcm.get()[1], 24575);    // 0.75 * 32767 = 24575.25
    EXPECT_EQ(r.pcm.get()[2], -24575);
    EXPECT_EQ(r.pcm.get()[3], 32767);    // above 1.0
    EXPECT_EQ(r.pcm.get()[4], -32768);   // -1.5
    EXPECT_EQ(r.pcm.get()[5], 32766);    // 21845 * 1.5 / 32768 = 0.99998...
    EXPECT_EQ(r.pcm.get()[6], -32767);   // -1.00000...
    EXPECT_EQ(r.pcm.get()[7], 1);
}

TEST(GraphRun, FirstOutputLineAtMostOncePerProcess) {
    env_guard guard("AE_DEBUG2");
    setenv("AE_DEBUG2", "1", 1);
    std::vector<int16_t> in = noise(10000, 2, 10);
    testing::internal::CaptureStderr();
    run_result a = run("anull", in, 48000, 2);
    run_result b = run("anull", in, 48000, 2);
    run_result c = run("aresample=16000", in, 48000, 2);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(err, "[AE] first out fmt=1 och=2 nf=4096 sr=48000\n");

    testing::internal::CaptureStderr();
    run_result d = run("anull", in, 48000, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(d.rc, 0);
}

// ---------------------------------------------------------------- conversion

TEST(FrameConversion, DoubleFollowsTheFloatRule) {
    const double x[] = {1.0, -1.0, 1.5, -1.5, 0.99999, 0.0, -0.0, 0.5, -0.5, 1e-9, -1e-9,
                        -32768.0 / 32767.0, -1.00003, 1.0000001, 1e300, -1e300};
    const int16_t want[] = {32767, -32767, 32767, -32768, 32766, 0, 0, 16383, -16383, 0, 0,
                            -32768, -32767, 32767, 32767, -32768};
    const int n = sizeof x / sizeof x[0];
    owned_frame fr(AV_SAMPLE_FMT_DBL, 1, n);
    for (int i = 0; i < n; i++) fr.plane<double>(0)[i] = x[i];
    std::vector<int16_t> out(n, 0x1234);
    ASSERT_EQ(frame_to_s16(fr.f, 1, out.data()), 0);
    for (int i = 0; i < n; i++) EXPECT_EQ(out[i], want[i]) << "x=" << x[i];
}

TEST(FrameConversion, PlanarFloatIsInterleaved) {
    owned_frame fr(AV_SAMPLE_FMT_FLTP, 2, 4);
    const float l[] = {0.25f, 1.0f, -1.0f, 2.0f};
    const float r[] = {-0.25f, 0.5f, -2.0f, 0.0f};
    for (int i = 0; i < 4; i++) {
        fr.plane<float>(0)[i] = l[i];
        fr.plane<float>(1)[i] = r[i];
    }
    std::vector<int16_t> out(8, 0x1234);
    ASSERT_EQ(frame_to_s16(fr.f, 2, out.data()), 0);
    EXPECT_EQ(out, (std::vector<int16_t>{8191, -8191, 32767, 16383, -32767, -32768, 32767, 0}));
}

TEST(FrameConversion, PlanarDoubleAndPackedFloat) {
    owned_frame dp(AV_SAMPLE_FMT_DBLP, 2, 2);
    dp.plane<double>(0)[0] = 0.1;
    dp.plane<double>(1)[0] = -0.1;
    dp.plane<double>(0)[1] = 1.5;
    dp.plane<double>(1)[1] = -1.5;
    std::vector<int16_t> out(4, 0x1234);
    ASSERT_EQ(frame_to_s16(dp.f, 2, out.data()), 0);
    EXPECT_EQ(out, (std::vector<int16_t>{3276, -3276, 32767, -32768}));

    owned_frame fl(AV_SAMPLE_FMT_FLT, 2, 2);
    float* p = fl.plane<float>(0);
    p[0] = 0.1f;  // single precision widened: 0.100000001490116 * 32767
    p[1] = -0.75f;
    p[2] = 1.25f;
    p[3] = -1.0f;
    std::vector<int16_t> out2(4, 0x1234);
    ASSERT_EQ(frame_to_s16(fl.f, 2, out2.data()), 0);
    EXPECT_EQ(out2, (std::vector<int16_t>{3276, -24575, 32767, -32767}));
}

TEST(FrameConversion, S32AndS32PTruncateWithoutClipping) {
    const int32_t s[] = {INT32_MAX, INT32_MIN, 0, 65536, -65536, 65537, 1 << 30, -1};
    const int16_t want[] = {32766, -32767, 0, 0, 0, 0, 16383, 0};
    owned_frame pk(AV_SAMPLE_FMT_S32, 1, 8);
    owned_frame pl(AV_SAMPLE_FMT_S32P, 1, 8);
    for (int i = 0; i < 8; i++) {
        pk.plane<int32_t>(0)[i] = s[i];
        pl.plane<int32_t>(0)[i] = s[i];
    }
    std::vector<int16_t> a(8, 0x1234), b(8, 0x1234);
    ASSERT_EQ(frame_to_s16(pk.f, 1, a.data()), 0);
    ASSERT_EQ(frame_to_s16(pl.f, 1, b.data()), 0);
    for (int i = 0; i < 8; i++) {
        int exact = static_cast<int>(s[i] * 4.656612873077393e-10 * 32767.0);
        EXPECT_EQ(a[i], exact) << s[i];
        EXPECT_EQ(a[i], want[i]) << s[i];
        EXPECT_EQ(b[i], a[i]) << s[i];
    }
    // 65536 * 2^-31 * 32767 = 0.99997: truncated, not rounded.
    pk.plane<int32_t>(0)[0] = 65538;
    ASSERT_EQ(frame_to_s16(pk.f, 1, a.data()), 0);
    EXPECT_EQ(a[0], 0);
    pk.plane<int32_t>(0)[0] = 65539;  // 1.00002
    ASSERT_EQ(frame_to_s16(pk.f, 1, a.data()), 0);
    EXPECT_EQ(a[0], 1);
}

TEST(FrameConversion, U8RowOfTheTable) {
    owned_frame fr(AV_SAMPLE_FMT_U8, 1, 256);
    for (int i = 0; i < 256; i++) fr.plane<uint8_t>(0)[i] = static_cast<uint8_t>(i);
    std::vector<int16_t> out(256, 0x1234);
    ASSERT_EQ(frame_to_s16(fr.f, 1, out.data()), 0);
    for (int i = 0; i < 256; i++)
        ASSERT_EQ(out[i], static_cast<int16_t>((i - 128) * 0.0078125 * 32767.0)) << i;
    EXPECT_EQ(out[0], -32767);
    EXPECT_EQ(out[127], -255);
    EXPECT_EQ(out[129], 255);
    EXPECT_EQ(out[255], 32511);
}

TEST(FrameConversion, S16AndS16PAreCopied) {
    owned_frame pk(AV_SAMPLE_FMT_S16, 2, 3);
    owned_frame pl(AV_SAMPLE_FMT_S16P, 2, 3);
    const int16_t l[] = {-32768, 0, 32767};
    const int16_t r[] = {1, -1, 12345};
    for (int i = 0; i < 3; i++) {
        pk.plane<int16_t>(0)[i * 2] = l[i];
        pk.plane<int16_t>(0)[i * 2 + 1] = r[i];
        pl.plane<int16_t>(0)[i] = l[i];
        pl.plane<int16_t>(1)[i] = r[i];
    }
    std::vector<int16_t> want = {-32768, 1, 0, -1, 32767, 12345};
    std::vector<int16_t> a(6, 0x1234), b(6, 0x1234);
    ASSERT_EQ(frame_to_s16(pk.f, 2, a.data()), 0);
    ASSERT_EQ(frame_to_s16(pl.f, 2, b.data()), 0);
    EXPECT_EQ(a, want);
    EXPECT_EQ(b, want);
}

TEST(FrameConversion, FormatsOutsideTheTableAreRefused) {
    for (AVSampleFormat fmt : {AV_SAMPLE_FMT_U8P, AV_SAMPLE_FMT_S64, AV_SAMPLE_FMT_S64P}) {
        owned_frame fr(fmt, 1, 4);
        std::vector<int16_t> out(4, 0x1234);
        EXPECT_EQ(frame_to_s16(fr.f, 1, out.data()), -1) << av_get_sample_fmt_name(fmt);
        EXPECT_EQ(out, std::vector<int16_t>(4, 0x1234)) << av_get_sample_fmt_name(fmt);
    }
}

TEST(FrameConversion, UnsupportedGraphOutputFailsTheRun) {
    std::vector<int16_t> in = noise(5000, 1, 11);
    run_result r = run("aformat=sample_fmts=u8p", in, 48000, 1);
    EXPECT_EQ(r.rc, -1);
    EXPECT_STREQ(g_err, "unsupported filter output format 5");
    EXPECT_FALSE(r.pcm);
    EXPECT_EQ(r.frames, -7);
}

TEST(FrameConversion, PlanarGraphOutputIsInterleaved) {
    std::vector<int16_t> in = noise(6000, 2, 12);
    run_result p = run("aformat=sample_fmts=s16p", in, 48000, 2);
    ASSERT_EQ(p.rc, 0) << g_err;
    ASSERT_EQ(p.frames, 6000);
    EXPECT_EQ(std::memcmp(p.pcm.get(), in.data(), in.size() * 2), 0);

    // Through 32-bit and back: s16 << 16 then the s32 rule loses at most one step.
    run_result q = run("aformat=sample_fmts=s32p", in, 48000, 2);
    ASSERT_EQ(q.rc, 0) << g_err;
    ASSERT_EQ(q.frames, 6000);
    for (size_t i = 0; i < in.size(); i++) {
        int expect = static_cast<int>(static_cast<double>(in[i] * 65536) * 4.656612873077393e-10 * 32767.0);
        ASSERT_EQ(q.pcm.get()[i], expect) << i;
    }
}
