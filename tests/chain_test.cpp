// Composition of the enhance chain and the applied list.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "analysis/log_capture.h"
#include "audioenhancer.h"
#include "enhance/chain.h"
#include "api/error.h"
#include "engine/graph.h"
#include "enhance/loudnorm.h"
#include "fixtures.h"

namespace {

struct composed {
    std::string chain;
    std::string applied;
};

composed compose(const enhance_options& opt, double peak = -3.0, const char* prefix = "") {
    loudnorm_measured m{-20.5, -4.25, 6.126, -31.0, 0.5};
    char chain[CHAIN_SIZE];
    snprintf(chain, sizeof chain, "%s", prefix);
    applied_list list;
    compose_chain(opt, peak, m, chain, sizeof chain, &list);
    composed c{chain, ""};
    for (int i = 0; i < list.count; i++) c.applied += std::string(i ? "," : "") + list.names[i];
    return c;
}

enhance_options off() {
    enhance_options o;
    o.loudnorm = 0;
    return o;
}

const char* const LOUDNORM_PIECE =
    "loudnorm=I=-14.0:TP=-1.5:LRA=11:measured_I=-20.50:measured_TP=-4.25:measured_LRA=6.13:"
    "measured_thresh=-31.00:offset=0.50:linear=true:dual_mono=false";

}  // namespace

TEST(Chain, DefaultsAreTheLoudnormPieceAlone) {
    composed c = compose(enhance_options{});
    EXPECT_EQ(c.chain, LOUDNORM_PIECE);
    EXPECT_EQ(c.applied, "");  // "loudnorm" is added by the first pass
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
    EXPECT_EQ(compose(o, -3.0).chain, std::string("volume=2.90 dB,") + LOUDNORM_PIECE);
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
    EXPECT_EQ(c.chain, std::string("afftdn=nr=12,adeclick,bass=f=100:g=3,treble=f=5000:g=3,"
                                   "volume=5.90 dB,") +
                           LOUDNORM_PIECE);
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

TEST(Loudnorm, ReadsTheReport) {
    const char* log =
        "[Parsed_loudnorm_0 @ 0x1] \n{\n\t\"input_i\" : \"-27.61\",\n\t\"input_tp\" : "
        "\"-4.47\",\n\t\"input_lra\" : \"18.06\",\n\t\"input_thresh\" : \"-39.20\",\n"
        "\t\"output_i\" : \"-16.58\",\n\t\"target_offset\" : \"0.58\"\n}\n";
    loudnorm_measured m;
    ASSERT_EQ(loudnorm_parse(log, -14.0, &m), 0);
    EXPECT_DOUBLE_EQ(m.input_i, -27.61);
    EXPECT_DOUBLE_EQ(m.input_tp, -4.47);
    EXPECT_DOUBLE_EQ(m.input_lra, 18.06);
    EXPECT_DOUBLE_EQ(m.input_thresh, -39.20);
    EXPECT_DOUBLE_EQ(m.target_offset, 0.58);
}

TEST(Loudnorm, OffsetFallsBackToTargetMinusMeasured) {
    loudnorm_measured m;
    ASSERT_EQ(loudnorm_parse("{\"input_i\" : \"-20.0\", \"input_tp\" : \"-3\", \"input_lra\" : "
                             "\"5\", \"input_thresh\" : \"-30\"}",
                             -16.0, &m),
              0);
    EXPECT_DOUBLE_EQ(m.target_offset, 4.0);
}

TEST(Loudnorm, Failures) {
    loudnorm_measured m;
    EXPECT_EQ(loudnorm_parse("no report here", -14.0, &m), -1);
    EXPECT_STREQ(g_err, "loudnorm did not print JSON");
    EXPECT_EQ(loudnorm_parse("{\"input_i\" : \"-20.0\", \"input_tp\" : \"-3\"}", -14.0, &m), -1);
    EXPECT_STREQ(g_err, "loudnorm JSON missing fields");
    // Keys before the first "{" do not count.
    EXPECT_EQ(loudnorm_parse("\"input_i\" : 1 {\"input_tp\" : \"-3\", \"input_lra\" : \"5\", "
                             "\"input_thresh\" : \"-30\"}",
                             -14.0, &m),
              -1);
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
            EXPECT_EQ(graph_setup(&g, text, 48000, 2), 0) << text << ": " << g_err;
            graph_release(&g);
        }
    }
    // Without a reported offset, the offset is taken from the levelled target.
    ASSERT_EQ(loudnorm_parse("{\"input_i\" : \"-20.0\", \"input_tp\" : \"-3\", \"input_lra\" : "
                             "\"5\", \"input_thresh\" : \"-30\"}",
                             0.0, &m),
              0);
    EXPECT_DOUBLE_EQ(m.target_offset, 15.0);
}

namespace {

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
    double after = 0.0;
    ASSERT_EQ(json_num(json, "\"after_lufs\"", &after), 0);
    EXPECT_NEAR(after, -5.0, 1.5) << json;
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
    ASSERT_EQ(json_num(json, "\"after_lufs\"", &after), 0);
    EXPECT_NEAR(after, -23.0, 1.0) << json;
}
