// The options document: defaults, value mapping, and strict syntax.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/error.h"
#include "base/options.h"

namespace {

// A record full of values parse_options never produces, so a field it
// forgot to reset shows.
enhance_options garbage() {
    enhance_options o;
    o.denoise = 77;
    o.loudnorm = 5;
    o.target_lufs = 123.0;
    o.repair_clicks = 9;
    std::strcpy(o.eq, "garbage");
    o.normalize_peak = 3;
    return o;
}

void expect_defaults(const enhance_options& o) {
    EXPECT_EQ(o.denoise, 0);
    EXPECT_EQ(o.loudnorm, 1);
    EXPECT_EQ(o.target_lufs, -14.0);
    EXPECT_EQ(o.repair_clicks, 0);
    EXPECT_STREQ(o.eq, "none");
    EXPECT_EQ(o.normalize_peak, 0);
}

enhance_options parsed(const std::string& text) {
    enhance_options o = garbage();
    g_err[0] = '\0';
    EXPECT_EQ(parse_options(text.c_str(), &o), 0) << text << ": " << g_err;
    EXPECT_STREQ(g_err, "") << text;
    return o;
}

}  // namespace

// ---------------------------------------------------------------- defaults

TEST(OptionDefaults, NullEmptyAndEmptyObject) {
    enhance_options o = garbage();
    EXPECT_EQ(parse_options(nullptr, &o), 0);
    expect_defaults(o);

    o = garbage();
    EXPECT_EQ(parse_options("", &o), 0);
    expect_defaults(o);

    expect_defaults(parsed("{}"));
    expect_defaults(parsed(" \n\t{ } \r\n"));
}

TEST(OptionDefaults, UnknownMembersAreIgnored) {
    expect_defaults(parsed("{\"preset\":\"voice\",\"Denoise\":5,\"LOUDNORM\":false,"
                           "\"target\":-20,\"denoise \":4,\"extra\":{\"a\":[1,2,null]}}"));
}

TEST(OptionDefaults, NestedObjectsAreNotSearched) {
    expect_defaults(parsed("{\"inner\":{\"denoise\":5,\"loudnorm\":false,\"eq\":\"music\"}}"));
}

TEST(OptionDefaults, AllSixKeysTogether) {
    enhance_options o = parsed(
        "{\"normalize_peak\":true,\"eq\":\"podcast\",\"repair_clicks\":true,"
        "\"target_lufs\":-23,\"loudnorm\":false,\"denoise\":7}");
    EXPECT_EQ(o.denoise, 7);
    EXPECT_EQ(o.loudnorm, 0);
    EXPECT_EQ(o.target_lufs, -23.0);
    EXPECT_EQ(o.repair_clicks, 1);
    EXPECT_STREQ(o.eq, "podcast");
    EXPECT_EQ(o.normalize_peak, 1);
}

// ---------------------------------------------------------------- denoise

struct denoise_case {
    const char* value;
    int expect;
};

class DenoiseValue : public ::testing::TestWithParam<denoise_case> {};

TEST_P(DenoiseValue, RoundsHalfUpAndClamps) {
    std::string text = std::string("{\"denoise\":") + GetParam().value + "}";
    enhance_options o = parsed(text);
    EXPECT_EQ(o.denoise, GetParam().expect) << text;
    // Nothing else moves.
    EXPECT_EQ(o.loudnorm, 1);
    EXPECT_EQ(o.target_lufs, -14.0);
    EXPECT_STREQ(o.eq, "none");
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, DenoiseValue,
    ::testing::Values(denoise_case{"0", 0}, denoise_case{"3", 3}, denoise_case{"10", 10},
                      denoise_case{"4.5", 5}, denoise_case{"2.5", 3}, denoise_case{"2.49", 2},
                      denoise_case{"0.5", 1}, denoise_case{"0.49", 0}, denoise_case{"9.5", 10},
                      denoise_case{"10.4", 10}, denoise_case{"-3", 0}, denoise_case{"-0.4", 0},
                      denoise_case{"-0.6", 0}, denoise_case{"12", 10}, denoise_case{"1e10", 10},
                      denoise_case{"1e300", 10}, denoise_case{"-1e300", 0},
                      denoise_case{"18446744073709551615", 10},
                      denoise_case{"-9223372036854775808", 0}, denoise_case{"4294967297", 10},
                      denoise_case{"7E0", 7}, denoise_case{"-0", 0}));

INSTANTIATE_TEST_SUITE_P(
    NotNumbers, DenoiseValue,
    ::testing::Values(denoise_case{"\"7\"", 0}, denoise_case{"true", 0}, denoise_case{"null", 0},
                      denoise_case{"[5]", 0}, denoise_case{"{\"v\":5}", 0}));

TEST(DenoiseValue, FirstOfDuplicateMembersWins) {
    EXPECT_EQ(parsed("{\"denoise\":3,\"denoise\":8}").denoise, 3);
    EXPECT_EQ(parsed("{\"denoise\":\"x\",\"denoise\":8}").denoise, 0);
}

// ---------------------------------------------------------------- flags

struct flag_case {
    const char* value;
    int expect;
};

class FlagValue : public ::testing::TestWithParam<flag_case> {};

TEST_P(FlagValue, OnlyTheLiteralTrueSetsAFlag) {
    const flag_case& c = GetParam();
    for (const char* key : {"loudnorm", "repair_clicks", "normalize_peak"}) {
        std::string text = std::string("{\"") + key + "\":" + c.value + "}";
        enhance_options o = parsed(text);
        int got = std::strcmp(key, "loudnorm") == 0        ? o.loudnorm
                  : std::strcmp(key, "repair_clicks") == 0 ? o.repair_clicks
                                                           : o.normalize_peak;
        EXPECT_EQ(got, c.expect) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Values, FlagValue,
                         ::testing::Values(flag_case{"true", 1}, flag_case{"false", 0},
                                           flag_case{"0", 0}, flag_case{"1", 0},
                                           flag_case{"\"true\"", 0}, flag_case{"null", 0},
                                           flag_case{"[true]", 0}, flag_case{"{}", 0}));

TEST(FlagValue, LoudnormOffLeavesTheOthersAtDefault) {
    enhance_options o = parsed("{\"loudnorm\":false}");
    EXPECT_EQ(o.loudnorm, 0);
    EXPECT_EQ(o.repair_clicks, 0);
    EXPECT_EQ(o.normalize_peak, 0);
    EXPECT_EQ(o.target_lufs, -14.0);
}

// ---------------------------------------------------------------- target_lufs

struct target_case {
    const char* value;
    double expect;
};

class TargetValue : public ::testing::TestWithParam<target_case> {};

TEST_P(TargetValue, ClampsToMinus70AndZero) {
    std::string text = std::string("{\"target_lufs\":") + GetParam().value + "}";
    enhance_options o = parsed(text);
    EXPECT_EQ(o.target_lufs, GetParam().expect) << text;
    EXPECT_EQ(o.loudnorm, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Values, TargetValue,
    ::testing::Values(target_case{"-100", -70.0}, target_case{"3", 0.0}, target_case{"-16.5", -16.5},
                      target_case{"-70", -70.0}, target_case{"-70.0000001", -70.0},
                      target_case{"0", 0.0}, target_case{"0.0001", 0.0}, target_case{"-23", -23.0},
                      target_case{"-14.123456789012345", -14.123456789012345},
                      target_case{"18446744073709551615", 0.0},
                      target_case{"-9223372036854775807", -70.0}, target_case{"\"-16\"", 0.0},
                      target_case{"null", 0.0}, target_case{"false", 0.0},
                      target_case{"[-16]", 0.0}));

// ---------------------------------------------------------------- eq

TEST(EqPreset, OnlyTheFourExactNamesAreKept) {
    EXPECT_STREQ(parsed("{\"eq\":\"voice\"}").eq, "voice");
    EXPECT_STREQ(parsed("{\"eq\":\"music\"}").eq, "music");
    EXPECT_STREQ(parsed("{\"eq\":\"podcast\"}").eq, "podcast");
    EXPECT_STREQ(parsed("{\"eq\":\"none\"}").eq, "none");

    for (const char* v : {"\"Podcast\"", "\"VOICE\"", "\" voice\"", "\"voice \"", "\"\"",
                          "\"bass\"", "\"podcastx\"", "\"voice\\u0000x\"", "1", "true", "null",
                          "[\"voice\"]", "{\"eq\":\"voice\"}"}) {
        std::string text = std::string("{\"eq\":") + v + "}";
        EXPECT_STREQ(parsed(text).eq, "none") << text;
    }
}

TEST(EqPreset, PresetMemberHasNoEffect) {
    enhance_options o = parsed("{\"preset\":\"voice\"}");
    EXPECT_STREQ(o.eq, "none");
    o = parsed("{\"preset\":\"music\",\"eq\":\"voice\"}");
    EXPECT_STREQ(o.eq, "voice");
}

TEST(EqPreset, FirstDuplicateDecidesEvenWhenItIsRejected) {
    EXPECT_STREQ(parsed("{\"eq\":\"music\",\"eq\":\"voice\"}").eq, "music");
    EXPECT_STREQ(parsed("{\"eq\":\"Music\",\"eq\":\"voice\"}").eq, "none");
}

// ---------------------------------------------------------------- syntax

TEST(OptionSyntax, RootMustBeAnObject) {
    for (const char* text : {"[1,2]", "[]", "\"denoise\"", "5", "true", "null"}) {
        enhance_options o = garbage();
        g_err[0] = '\0';
        EXPECT_EQ(parse_options(text, &o), -1) << text;
        EXPECT_STREQ(g_err, "options JSON must be an object") << text;
        expect_defaults(o);
    }
}

TEST(OptionSyntax, UnquotedKeyQuotesTheText) {
    enhance_options o = garbage();
    EXPECT_EQ(parse_options("{denoise: 3}", &o), -1);
    EXPECT_STREQ(g_err, "options JSON parse failed: {denoise: 3}");
    expect_defaults(o);
}

TEST(OptionSyntax, LongBadTextIsQuotedTo120Characters) {
    std::string text = "{\"eq\":\"" + std::string(260, 'a') + "\",\"denoise\":3,";
    while (text.size() < 299) text += ' ';
    text += '!';
    ASSERT_EQ(text.size(), 300u);
    enhance_options o = garbage();
    EXPECT_EQ(parse_options(text.c_str(), &o), -1);
    EXPECT_EQ(std::string(g_err), "options JSON parse failed: " + text.substr(0, 120));
    expect_defaults(o);
}

class StrictSyntax : public ::testing::TestWithParam<const char*> {};

TEST_P(StrictSyntax, Rejected) {
    std::string text = GetParam();
    enhance_options o = garbage();
    g_err[0] = '\0';
    EXPECT_EQ(parse_options(text.c_str(), &o), -1) << text;
    EXPECT_EQ(std::string(g_err), "options JSON parse failed: " + text.substr(0, 120));
    expect_defaults(o);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StrictSyntax,
    ::testing::Values("\xEF\xBB\xBF{\"denoise\":3}",           // byte-order mark
                      "{\"denoise\":3 /* strong */}",           // block comment
                      "{\"denoise\":3} // strong",              // line comment
                      "{\"denoise\":3,}",                       // trailing comma in object
                      "{\"eq\":[\"voice\",]}",                  // trailing comma in array
                      "{\"denoise\":NaN}", "{\"target_lufs\":Infinity}",
                      "{\"target_lufs\":-Infinity}", "{\"target_lufs\":1e999}",
                      "{\"target_lufs\":-1e999}", "{'denoise':3}", "{\"eq\":\"vo\tice\"}",
                      "{\"eq\":\"\xff\"}", "{\"denoise\":3}{}", "{\"denoise\":3", "{\"denoise\":03}",
                      "{\"denoise\":+3}", "{\"denoise\":.5}", "{\"loudnorm\":True}", " ", "x"));

TEST(OptionSyntax, NothingIsAppliedFromADocumentThatFails) {
    enhance_options o = garbage();
    EXPECT_EQ(parse_options("{\"denoise\":9,\"loudnorm\":false,\"eq\":\"voice\",}", &o), -1);
    expect_defaults(o);
}
