// The exported boundary: argument checks, the last-error text, the shared
// result text written by finish_json, and the version text.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

extern "C" {
#include <libavformat/version.h>
}

#include "base/error.h"
#include "base/json_doc.h"
#include "api/result.h"
#include "audioenhancer.h"
#include "fixtures.h"

namespace {

// An address no call of the library can produce: a failing call must leave
// it in the caller's variable.
const char kSentinelText[] = "sentinel";
const char* const kSentinel = kSentinelText;

std::string last_error() { return audioenhancer_last_error(); }

std::string sine_wav() {
    return ffmpeg_fixture("api_sine_48k_mono.wav",
                          "-f lavfi -i sine=f=1000:d=1:sample_rate=48000 -af volume=-6dB");
}

// Unsets a variable on construction and again on destruction.
struct env_guard {
    const char* name;
    explicit env_guard(const char* n) : name(n) { unsetenv(name); }
    ~env_guard() { unsetenv(name); }
};

// Serialises one document built by fill; returns finish_json's status.
template <typename Fill>
int write_doc(Fill fill, const char** out) {
    json_doc_ptr doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val* root = yyjson_mut_obj(doc.get());
    yyjson_mut_doc_set_root(doc.get(), root);
    fill(doc.get(), root);
    return finish_json(doc.get(), out);
}

std::string one_real(double v) {
    const char* out = nullptr;
    int rc = write_doc([&](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_real(d, r, "v", v); },
                       &out);
    EXPECT_EQ(rc, 0) << v;
    return rc == 0 ? std::string(out) : std::string();
}

}  // namespace

// ---------------------------------------------------------------- last error

// Runs first in the executable (and alone under CTest): nothing has failed yet.
TEST(LastError, EmptyBeforeAnyCall) {
    const char* e = audioenhancer_last_error();
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e, "");
}

TEST(LastError, IsTheSameBufferAndSurvivesReads) {
    const char* out = kSentinel;
    ASSERT_EQ(audioenhancer_probe(nullptr, &out), -1);
    const char* a = audioenhancer_last_error();
    (void)audioenhancer_version();
    const char* b = audioenhancer_last_error();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, static_cast<const char*>(g_last_error));
    EXPECT_STREQ(b, "null args");
}

TEST(LastError, ClearedWhenTheNextWorkingCallBegins) {
    const char* out = kSentinel;
    ASSERT_EQ(audioenhancer_probe(nullptr, &out), -1);
    ASSERT_EQ(last_error(), "null args");
    ASSERT_EQ(audioenhancer_probe(sine_wav().c_str(), &out), 0) << last_error();
    EXPECT_EQ(last_error(), "");
}

// ---------------------------------------------------------------- null args

TEST(NullArgs, ProbeRejectsEachNullArgument) {
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);

    g_err[0] = '\0';
    EXPECT_EQ(audioenhancer_probe(sine_wav().c_str(), nullptr), -1);
    EXPECT_EQ(last_error(), "null args");
}

TEST(NullArgs, EnhanceRejectsEachRequiredNullArgument) {
    std::string in = sine_wav();
    std::string dst = scratch_dir("api_null_enhance") + "/out.wav";
    const char* out = kSentinel;

    EXPECT_EQ(audioenhancer_enhance(nullptr, dst.c_str(), nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);

    g_err[0] = '\0';
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), nullptr, nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);

    g_err[0] = '\0';
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), dst.c_str(), "{}", nullptr), -1);
    EXPECT_EQ(last_error(), "null args");
}

TEST(NullArgs, NullArgsWinsOverAMissingInput) {
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_enhance("/no/such/input.wav", nullptr, nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);
}

TEST(NullArgs, BatchRejectsEachRequiredNullArgument) {
    std::string in = scratch_dir("api_null_batch_in");
    std::string dst = scratch_dir("api_null_batch_out");
    const char* out = kSentinel;

    EXPECT_EQ(audioenhancer_batch(nullptr, dst.c_str(), nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);

    g_err[0] = '\0';
    EXPECT_EQ(audioenhancer_batch(in.c_str(), nullptr, nullptr, &out), -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(out, kSentinel);

    g_err[0] = '\0';
    EXPECT_EQ(audioenhancer_batch(in.c_str(), dst.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(last_error(), "null args");
}

// ---------------------------------------------------------------- file not found

TEST(FileNotFound, MissingInputNamesThePathAsPassed) {
    std::string path = scratch_dir("api_missing") + "/../api_missing_x/nothing here.wav";
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(path.c_str(), &out), -1);
    EXPECT_EQ(last_error(), "file not found: " + path);
    EXPECT_EQ(out, kSentinel);

    std::string dst = scratch_dir("api_missing_out") + "/out.wav";
    EXPECT_EQ(audioenhancer_enhance(path.c_str(), dst.c_str(), nullptr, &out), -1);
    EXPECT_EQ(last_error(), "file not found: " + path);
    EXPECT_EQ(out, kSentinel);
}

TEST(FileNotFound, DirectoryIsNotAnInputFile) {
    std::string dir = scratch_dir("api_dir_input");
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(dir.c_str(), &out), -1);
    EXPECT_EQ(last_error(), "file not found: " + dir);
    EXPECT_EQ(out, kSentinel);

    std::string dst = scratch_dir("api_dir_out") + "/out.wav";
    EXPECT_EQ(audioenhancer_enhance(dir.c_str(), dst.c_str(), nullptr, &out), -1);
    EXPECT_EQ(last_error(), "file not found: " + dir);
    EXPECT_EQ(out, kSentinel);
}

TEST(FileNotFound, EmptyPath) {
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe("", &out), -1);
    EXPECT_EQ(last_error(), "file not found: ");
    EXPECT_EQ(out, kSentinel);
}

// ---------------------------------------------------------------- set_err

TEST(SetErr, FormatsPrintfStyle) {
    set_err("cannot open input %s (%d)", "a.wav", 7);
    EXPECT_STREQ(g_err, "cannot open input a.wav (7)");
}

TEST(SetErr, CutsAt1023Characters) {
    std::string long_text(2000, 'x');
    long_text[1022] = 'L';  // last character kept
    long_text[1023] = 'C';  // first character cut
    set_err("%s", long_text.c_str());
    EXPECT_EQ(std::strlen(g_err), 1023u);
    EXPECT_EQ(g_err[1022], 'L');
    EXPECT_EQ(g_err[1023], '\0');
    EXPECT_EQ(std::string(g_err), long_text.substr(0, 1023));
}

TEST(SetErr, WrapsTheCurrentMessage) {
    set_err("filtergraph parse failed: %s", "bogus");
    set_err("filter chain failed: %s", g_err);
    EXPECT_STREQ(g_err, "filter chain failed: filtergraph parse failed: bogus");
}

TEST(SetErr, WrappingALongMessageKeepsItsStartAndCuts) {
    std::string inner = "inner:" + std::string(1100, 'i');
    set_err("%s", inner.c_str());
    ASSERT_EQ(std::strlen(g_err), 1023u);
    set_err("outer: %s", g_err);
    std::string expect = ("outer: " + inner).substr(0, 1023);
    EXPECT_EQ(std::string(g_err), expect);
}

TEST(SetErr, MessageMayEmbedItselfTwice) {
    set_err("ab");
    set_err("%s|%s", g_err, g_err);
    EXPECT_STREQ(g_err, "ab|ab");
}

// ---------------------------------------------------------------- AE_DEBUG echo

TEST(DebugEcho, EchoesEveryMessageWhenSet) {
    env_guard guard("AE_DEBUG");
    setenv("AE_DEBUG", "1", 1);
    const char* out = kSentinel;
    testing::internal::CaptureStderr();
    int rc = audioenhancer_probe(nullptr, &out);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(last_error(), "null args");
    EXPECT_EQ(err, "[AE] null args\n");
}

TEST(DebugEcho, EmptyValueStillCounts) {
    env_guard guard("AE_DEBUG");
    setenv("AE_DEBUG", "", 1);
    testing::internal::CaptureStderr();
    set_err("message %d", 42);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[AE] message 42\n");
}

TEST(DebugEcho, SilentWhenUnset) {
    env_guard guard("AE_DEBUG");
    testing::internal::CaptureStderr();
    set_err("quiet");
    const char* out = kSentinel;
    (void)audioenhancer_probe("/no/such/file.wav", &out);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(last_error(), "file not found: /no/such/file.wav");
}

TEST(DebugEcho, EchoesTheCutMessage) {
    env_guard guard("AE_DEBUG");
    setenv("AE_DEBUG", "yes", 1);
    std::string long_text(1500, 'z');
    testing::internal::CaptureStderr();
    set_err("%s", long_text.c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "[AE] " + std::string(1023, 'z') + "\n");
}

// ---------------------------------------------------------------- finish_json

TEST(FinishJson, CompactInInsertionOrder) {
    const char* out = nullptr;
    int rc = write_doc(
        [](yyjson_mut_doc* d, yyjson_mut_val* r) {
            yyjson_mut_obj_add_str(d, r, "zeta", "last/first é");
            yyjson_mut_obj_add_int(d, r, "alpha", -5);
            yyjson_mut_obj_add_uint(d, r, "mid", 48000);
            yyjson_mut_val* arr = yyjson_mut_arr(d);
            yyjson_mut_arr_add_str(d, arr, "loudnorm");
            yyjson_mut_arr_add_str(d, arr, "eq:voice");
            yyjson_mut_obj_add_val(d, r, "applied", arr);
            yyjson_mut_obj_add_bool(d, r, "ok", true);
            yyjson_mut_obj_add_null(d, r, "none");
            yyjson_mut_obj_add_str(d, r, "quote", "say \"hi\"\n");
        },
        &out);
    ASSERT_EQ(rc, 0) << g_err;
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out,
                 "{\"zeta\":\"last/first é\",\"alpha\":-5,\"mid\":48000,"
                 "\"applied\":[\"loudnorm\",\"eq:voice\"],\"ok\":true,\"none\":null,"
                 "\"quote\":\"say \\\"hi\\\"\\n\"}");
}

TEST(FinishJson, RealsInShortestRoundTripForm) {
    EXPECT_EQ(one_real(0.1), "{\"v\":0.1}");
    EXPECT_EQ(one_real(-70.0), "{\"v\":-70.0}");
    EXPECT_EQ(one_real(-23.04), "{\"v\":-23.04}");
    EXPECT_EQ(one_real(1.0 / 3.0), "{\"v\":0.3333333333333333}");
    EXPECT_EQ(one_real(0.0), "{\"v\":0.0}");

    // Awkward values read back to the identical double.
    for (double v : {-14.000000000000002, 2.5e-7, 123456789.125, -0.30000000000000004,
                     std::numeric_limits<double>::min(), std::numeric_limits<double>::max()}) {
        std::string text = one_real(v);
        ASSERT_GT(text.size(), 6u);
        std::string num = text.substr(5, text.size() - 6);
        EXPECT_EQ(std::strtod(num.c_str(), nullptr), v) << text;
        EXPECT_LE(num.size(), 24u) << text;
    }
}

TEST(FinishJson, IntegersStayIntegers) {
    const char* out = nullptr;
    ASSERT_EQ(write_doc(
                  [](yyjson_mut_doc* d, yyjson_mut_val* r) {
                      yyjson_mut_obj_add_int(d, r, "rate", 44100);
                      yyjson_mut_obj_add_int(d, r, "neg", -1);
                      yyjson_mut_obj_add_int(d, r, "big", INT64_MIN);
                      yyjson_mut_obj_add_uint(d, r, "ubig", UINT64_MAX);
                  },
                  &out),
              0);
    EXPECT_STREQ(out,
                 "{\"rate\":44100,\"neg\":-1,\"big\":-9223372036854775808,"
                 "\"ubig\":18446744073709551615}");
}

class FinishJsonRefuses : public ::testing::TestWithParam<int> {};

// 0: NaN, 1: +inf, 2: -inf, 3: invalid UTF-8 string, 4: invalid UTF-8 key,
// 5: no document at all.
TEST_P(FinishJsonRefuses, KeepsThePreviousResult) {
    const char* out = nullptr;
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_str(d, r, "prev", "kept"); },
                        &out),
              0);
    const char* prev = out;
    std::string prev_text = prev;

    const char* out2 = kSentinel;
    g_err[0] = '\0';
    int rc = -2;
    int which = GetParam();
    if (which == 5) {
        rc = finish_json(nullptr, &out2);
    } else {
        rc = write_doc(
            [which](yyjson_mut_doc* d, yyjson_mut_val* r) {
                yyjson_mut_obj_add_int(d, r, "fine", 1);
                switch (which) {
                case 0: yyjson_mut_obj_add_real(d, r, "v", std::nan("")); break;
                case 1: yyjson_mut_obj_add_real(d, r, "v", HUGE_VAL); break;
                case 2: yyjson_mut_obj_add_real(d, r, "v", -HUGE_VAL); break;
                case 3: yyjson_mut_obj_add_strcpy(d, r, "v", "bad \xff\xfe byte"); break;
                case 4: yyjson_mut_obj_add_int(d, r, "k\xc3", 1); break;
                }
            },
            &out2);
    }
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(g_err, "json serialize failed");
    EXPECT_EQ(out2, kSentinel);
    EXPECT_EQ(std::string(prev), prev_text);
}

INSTANTIATE_TEST_SUITE_P(Cases, FinishJsonRefuses, ::testing::Range(0, 6));

TEST(FinishJson, SameAddressAndTheSecondCallOverwrites) {
    const char* a = nullptr;
    const char* b = nullptr;
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_str(d, r, "first", "aaaaaaaa"); },
                        &a),
              0);
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_int(d, r, "n", 2); }, &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "{\"n\":2}");
}

TEST(FinishJson, SuccessiveProbesShareTheAddress) {
    const char* a = nullptr;
    const char* b = nullptr;
    std::string in = sine_wav();
    ASSERT_EQ(audioenhancer_probe(in.c_str(), &a), 0) << last_error();
    std::string first = a;
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_int(d, r, "x", 1); }, &b), 0);
    EXPECT_EQ(a, b);
    EXPECT_STREQ(a, "{\"x\":1}");
    ASSERT_EQ(audioenhancer_probe(in.c_str(), &b), 0) << last_error();
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::string(b), first);
}

TEST(FinishJson, LongResultIsWrittenWhole) {
    const size_t n = 300000;
    std::string big(n, 'q');
    big[n - 1] = 'E';
    const char* out = nullptr;
    ASSERT_EQ(write_doc(
                  [&](yyjson_mut_doc* d, yyjson_mut_val* r) {
                      yyjson_mut_obj_add_strn(d, r, "big", big.data(), big.size());
                      yyjson_mut_obj_add_int(d, r, "tail", 7);
                  },
                  &out),
              0)
        << g_err;
    size_t len = std::strlen(out);
    EXPECT_EQ(len, n + std::strlen("{\"big\":\"\",\"tail\":7}"));
    json_read_ptr doc(yyjson_read(out, len, 0));
    ASSERT_TRUE(doc);
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    EXPECT_EQ(yyjson_get_len(yyjson_obj_get(root, "big")), n);
    EXPECT_EQ(yyjson_get_int(yyjson_obj_get(root, "tail")), 7);

    // A short result afterwards replaces it completely.
    const char* out2 = nullptr;
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_int(d, r, "s", 1); }, &out2), 0);
    EXPECT_STREQ(out2, "{\"s\":1}");
}

TEST(FinishJson, FailedProbeKeepsTheEarlierResult) {
    const char* out = nullptr;
    ASSERT_EQ(write_doc([](yyjson_mut_doc* d, yyjson_mut_val* r) { yyjson_mut_obj_add_str(d, r, "keep", "me"); }, &out),
              0);
    const char* out2 = kSentinel;
    std::string dst = scratch_dir("api_keep") + "/o.wav";
    EXPECT_EQ(audioenhancer_enhance("/no/such.wav", dst.c_str(), nullptr, &out2), -1);
    EXPECT_EQ(audioenhancer_probe("/no/such.wav", &out2), -1);
    EXPECT_EQ(out2, kSentinel);
    EXPECT_STREQ(out, "{\"keep\":\"me\"}");
}

// ---------------------------------------------------------------- version

TEST(Version, NamesTheLibavformatBuiltAgainst) {
    char expect[160];
    std::snprintf(expect, sizeof expect, "1.0.1 (libavformat %d.%d.%d, RNNoise)",
                  LIBAVFORMAT_VERSION_MAJOR, LIBAVFORMAT_VERSION_MINOR, LIBAVFORMAT_VERSION_MICRO);
    const char* v = audioenhancer_version();
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, expect);
}

TEST(Version, SameAddressAndTextOnEveryCall) {
    const char* a = audioenhancer_version();
    std::string first = a;
    const char* out = kSentinel;
    (void)audioenhancer_probe(nullptr, &out);
    const char* b = audioenhancer_version();
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::string(b), first);
    // Reading the version leaves the error text alone.
    EXPECT_EQ(last_error(), "null args");
}
