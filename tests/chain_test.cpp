// Composition of the enhance chain and the applied list.
#include <gtest/gtest.h>

#include <string>

#include "enhance/chain.h"
#include "api/error.h"
#include "enhance/loudnorm.h"

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
