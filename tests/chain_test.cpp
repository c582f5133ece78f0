// Composition of the enhance chain and the applied list.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "audioenhancer.h"
#include "enhance/chain.h"
#include "base/error.h"
#include "engine/graph.h"
#include "enhance/loudnorm.h"
#include "fixtures.h"

namespace {

struct composed {
    std::string chain;
    std::string applied;
};

composed compose(const enhance_options& opt, double peak = -3.0, const char* prefix = "") {
    char chain[CHAIN_SIZE];
    snprintf(chain, sizeof chain, "%s", prefix);
    applied_list list;
    compose_chain(opt, peak, chain, sizeof chain, &list);
    composed c{chain, ""};
    for (int i = 0; i < list.count; i++) c.applied += std::string(i ? "," : "") + list.names[i];
    return c;
}

enhance_options off() {
    enhance_options o;
    o.loudnorm = 0;
    return o;
}

}  // namespace

// The leveller runs apart from the pieces before it.
TEST(Chain, DefaultsComposeNothing) {
    composed c = compose(enhance_options{});
    EXPECT_EQ(c.chain, "");
    EXPECT_EQ(c.applied, "");  // "loudnorm" is added by the driver
}

TEST(Chain, EverythingOffIsEmpty) {
    composed c = compose(off());
    EXPECT_EQ(c.chain, "");
    EXPECT_EQ(c.applied, "");
}

TEST(Chain, Presets) {
    enhance_options o = off();
    snprintf(o.eq, sizeof o.eq, "podcast");
    EXPECT_EQ(compose(o).chain,
              "highpass=f=80:poles=2,equalizer=f=150:t=q:w=1.0:g=-3,equalizer=f=3000:t=q:w=1.0:"
              "g=3,equalizer=f=8000:t=q:w=1.4:g=2,bass=f=120:g=-2");
    EXPECT_EQ(compose(o).applied, "eq_podcast");
    snprintf(o.eq, sizeof o.eq, "voice");
    EXPECT_EQ(compose(o).chain,
              "equalizer=f=250:t=q:w=1.2:g=2,equalizer=f=4000:t=q:w=1.0:g=2,equalizer=f=9000:t=q:"
              "w=1.2:g=-2");
    snprintf(o.eq, sizeof o.eq, "Music");
    EXPECT_EQ(compose(o).chain, "");
    snprintf(o.eq, sizeof o.eq, "none");
    EXPECT_EQ(compose(o).applied, "");
}

TEST(Chain, RepairClicksThenMusic) {
    enhance_options o = off();
    o.repair_clicks = 1;
    snprintf(o.eq, sizeof o.eq, "music");
    composed c = compose(o);
    EXPECT_EQ(c.chain, "adeclick,bass=f=100:g=3,treble=f=5000:g=3");
    EXPECT_EQ(c.applied, "repair_clicks,eq_music");
}

TEST(Chain, PeakGain) {
    enhance_options o = off();
    o.normalize_peak = 1;
    EXPECT_EQ(compose(o, -3.0).chain, "volume=2.90 dB");
    EXPECT_EQ(compose(o, 70.0).chain, "volume=-60.00 dB");
    EXPECT_EQ(compose(o, -0.1).chain, "volume=0.00 dB");
    // A silent input has no peak to lift.
    EXPECT_EQ(compose(o, -999.0).chain, "volume=0.00 dB");
    EXPECT_EQ(compose(o).applied, "normalize_peak");
    o.loudnorm = 1;
    EXPECT_EQ(compose(o, -3.0).chain, "volume=2.90 dB");
}

TEST(Chain, AfftdnFromLevelEight) {
    enhance_options o = off();
    o.denoise = 7;
    EXPECT_EQ(compose(o).chain, "");
    o.denoise = 8;
    o.repair_clicks = 1;
    EXPECT_EQ(compose(o).chain, "afftdn=nr=12,adeclick");
    o.denoise = 10;
    EXPECT_EQ(compose(o).applied, "repair_clicks");
}

TEST(Chain, FullOrder) {
    enhance_options o;
    o.denoise = 9;
    o.repair_clicks = 1;
    o.normalize_peak = 1;
    snprintf(o.eq, sizeof o.eq, "music");
    composed c = compose(o, -6.0);
    EXPECT_EQ(c.chain, "afftdn=nr=12,adeclick,bass=f=100:g=3,treble=f=5000:g=3,volume=5.90 dB");
    EXPECT_EQ(c.applied, "repair_clicks,eq_music,normalize_peak");
}

TEST(Chain, NeverOverflowsItsBuffer) {
    enhance_options o;
    o.denoise = 10;
    o.repair_clicks = 1;
    o.normalize_peak = 1;
    snprintf(o.eq, sizeof o.eq, "podcast");
    std::string prefix(CHAIN_SIZE - 20, 'a');
    composed c = compose(o, -3.0, prefix.c_str());
    EXPECT_EQ(c.chain.size(), CHAIN_SIZE - 1);
    EXPECT_EQ(c.chain.compare(0, prefix.size(), prefix), 0);
}

// FFmpeg's loudnorm takes -70 to -5 LUFS; the options accept up to 0. Every
// filter text levels a louder target to -5, and each text builds a graph.
TEST(LoudnormTarget, AboveMinusFiveLevelsToMinusFive) {
    const struct {
        double target;
        const char* level;
    } cases[] = {{0.0, "-5.0"},    {-3.0, "-5.0"},   {-4.95, "-5.0"}, {-5.0, "-5.0"},
                 {-5.5, "-5.5"},   {-14.0, "-14.0"}, {-70.0, "-70.0"}, {-80.0, "-70.0"}};
    loudnorm_measured m{-20.5, -4.25, 6.126, -31.0, 0.5};
    for (const auto& c : cases) {
        char dynamic[512], second[512];
        loudnorm_dynamic(dynamic, sizeof dynamic, c.target);
        loudnorm_second_pass(second, sizeof second, c.target, m);
        std::string want = std::string("loudnorm=I=") + c.level + ":TP=-1.5:LRA=11";
        EXPECT_EQ(std::string(dynamic), want) << c.target;
        EXPECT_EQ(std::string(second).compare(0, want.size(), want), 0) << second;
        for (const char* text : {dynamic, second}) {
            graph_context g;
            EXPECT_EQ(graph_setup(&g, text, 48000, 2), 0)
                << text << ": " << g_err;
            graph_release(&g);
        }
    }
}

namespace {

double after_lufs(const char* json) {
    yyjson_doc* d = yyjson_read(json, strlen(json), 0);
    double v = yyjson_get_num(yyjson_obj_get(yyjson_doc_get_root(d), "after_lufs"));
    yyjson_doc_free(d);
    return v;
}

std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

// Every target the options document accepts enhances: one above -5 (and a
// target that is no number, which reads as 0) gives the very file -5 gives.
TEST(LoudnormTarget, EveryAcceptedTargetEnhances) {
    std::string in =
        ffmpeg_fixture("tone_440_22k_4s.wav", "-f lavfi -i sine=f=440:d=4:sample_rate=22050 -ac 1");
    std::string dir = scratch_dir("targets");
    const char* json = nullptr;
    ASSERT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/m5.wav").c_str(),
                                    "{\"target_lufs\":-5}", &json),
              0)
        << audioenhancer_last_error();
    EXPECT_NEAR(after_lufs(json), -5.0, 0.3) << json;
    std::string loudest = file_bytes(dir + "/m5.wav");
    ASSERT_FALSE(loudest.empty());
    int i = 0;
    for (const char* options : {"{\"target_lufs\":-3}", "{\"target_lufs\":0}",
                                "{\"target_lufs\":-4.99}", "{\"target_lufs\":\"loud\"}"}) {
        std::string out = dir + "/t" + std::to_string(i++) + ".wav";
        json = nullptr;
        ASSERT_EQ(audioenhancer_enhance(in.c_str(), out.c_str(), options, &json), 0)
            << options << ": " << audioenhancer_last_error();
        EXPECT_TRUE(file_bytes(out) == loudest) << options;
    }
    // A target in the filter's range is still met.
    ASSERT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/m23.wav").c_str(),
                                    "{\"target_lufs\":-23}", &json),
              0);
    EXPECT_NEAR(after_lufs(json), -23.0, 0.3) << json;
}
