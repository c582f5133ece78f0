// The threaded paths give exactly what one thread gives: the same answers and,
// for WAV and FLAC, the same bytes; batch workers the same summary as files
// done one after another.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "audioenhancer.h"
#include "fixtures.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Runs fn with AE_THREADS set to value (unset when null).
template <typename Fn>
void with_threads(const char* value, Fn fn) {
    if (value)
        setenv("AE_THREADS", value, 1);
    else
        unsetenv("AE_THREADS");
    fn();
    unsetenv("AE_THREADS");
}

std::string enhance(const std::string& in, const std::string& out, const char* options) {
    const char* json = nullptr;
    int rc = audioenhancer_enhance(in.c_str(), out.c_str(), options, &json);
    EXPECT_EQ(rc, 0) << audioenhancer_last_error();
    return rc == 0 ? std::string(json) : std::string();
}

std::string input() {
    return ffmpeg_fixture("threads_in.wav",
                          "-f lavfi -i \"sine=f=330:d=6:sample_rate=44100,"
                          "aeval=val(0)*0.3+0.02*random(0)|val(0)*0.2\"");
}

}  // namespace

TEST(ThreadIdentity, EnhanceAnswersAndBytes) {
    const std::string in = input();
    const std::string dir = scratch_dir("threads_enhance");
    const char* docs[] = {nullptr, "{\"denoise\":4,\"eq\":\"podcast\",\"normalize_peak\":true}",
                          "{\"denoise\":9,\"repair_clicks\":true}"};
    for (const char* doc : docs) {
        for (const char* ext : {"wav", "flac", "m4a", "mp3", "ogg", "opus"}) {
            std::string one, many;
            std::string a = dir + "/one." + ext, b = dir + "/many." + ext;
            with_threads("1", [&] { one = enhance(in, a, doc); });
            with_threads(nullptr, [&] { many = enhance(in, b, doc); });
            // The answers differ only in the output name.
            std::string want = one;
            want.replace(want.find(a), a.size(), b);
            EXPECT_EQ(many, want) << ext << " " << (doc ? doc : "defaults");
            if (std::string(ext) == "wav" || std::string(ext) == "flac") {
                EXPECT_TRUE(slurp(a) == slurp(b)) << ext << " bytes differ";
            }
        }
    }
}

// The leveller's paths on speech, the linear gain (-23), the limiter alone
// (-14) and the dynamic pass with the limiter after it (-5): the same
// answers and bytes on one thread and on many, and when a file is enhanced
// again.
TEST(ThreadIdentity, LevellerPaths) {
    const std::string in = speech_fixture(44100, 2);
    const std::string dir = scratch_dir("threads_level");
    for (const char* doc :
         {"{\"target_lufs\":-23}", "{\"target_lufs\":-14}", "{\"target_lufs\":-5}"}) {
        for (const char* ext : {"wav", "flac", "m4a"}) {
            // One container is enough for the slowest path.
            if (std::string(doc).find("-5") != std::string::npos && std::string(ext) != "wav")
                continue;
            std::string one, many, again;
            std::string a = dir + "/one." + ext, b = dir + "/many." + ext,
                        c = dir + "/again." + ext;
            with_threads("1", [&] { one = enhance(in, a, doc); });
            with_threads(nullptr, [&] {
                many = enhance(in, b, doc);
                again = enhance(in, c, doc);
            });
            std::string want = one;
            want.replace(want.find(a), a.size(), b);
            EXPECT_EQ(many, want) << ext << " " << doc;
            want = many;
            want.replace(want.find(b), b.size(), c);
            EXPECT_EQ(again, want) << ext << " " << doc;
            // M4A too: with threads its limiter's pass is written as it comes.
            EXPECT_TRUE(slurp(a) == slurp(b)) << ext << " " << doc << ": bytes differ";
            EXPECT_TRUE(slurp(b) == slurp(c)) << ext << " " << doc << ": not repeatable";
        }
    }
}

TEST(ThreadIdentity, ProbeAnswers) {
    const std::string in = input();
    std::string one, many;
    const char* json = nullptr;
    with_threads("1", [&] {
        ASSERT_EQ(audioenhancer_probe(in.c_str(), &json), 0);
        one = json;
    });
    with_threads(nullptr, [&] {
        ASSERT_EQ(audioenhancer_probe(in.c_str(), &json), 0);
        many = json;
    });
    EXPECT_EQ(one, many);
}

TEST(ThreadIdentity, ParallelBatchEqualsSequential) {
    const std::string dir = scratch_dir("threads_batch");
    const std::string in = dir + "/in";
    ASSERT_EQ(run_cmd("mkdir -p " + in), 0);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(run_cmd("ffmpeg -y -v error -f lavfi -i sine=f=" + std::to_string(200 + 90 * i) +
                          ":d=2 -ac 2 " + in + "/f" + std::to_string(i) + ".wav"),
                  0);
    write_file(in + "/broken.mp3", "not audio at all");
    std::string answers[2];
    const char* docs[2] = {"{\"jobs\":1}", "{\"jobs\":3}"};
    for (int k = 0; k < 2; k++) {
        const char* json = nullptr;
        ASSERT_EQ(audioenhancer_batch(in.c_str(), (dir + "/out" + std::to_string(k)).c_str(),
                                      docs[k], &json),
                  0)
            << audioenhancer_last_error();
        answers[k] = json;
    }
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_NE(answers[0].find("\"failed\":1"), std::string::npos) << answers[0];
    for (int i = 0; i < 5; i++) {
        std::string name = "/f" + std::to_string(i) + ".wav";
        std::string a = slurp(dir + "/out0" + name), b = slurp(dir + "/out1" + name);
        EXPECT_FALSE(a.empty());
        EXPECT_TRUE(a == b) << name;
    }
}
