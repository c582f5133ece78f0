// The probe operation: the answer's shape, its loudness figures against
// reference signals and FFmpeg's own ebur128, and every failing input.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/json_doc.h"
#include "audioenhancer.h"
#include "fixtures.h"

namespace {

const char kSentinelText[] = "sentinel";
const char* const kSentinel = kSentinelText;

struct probed {
    int rc = -2;
    const char* out = kSentinel;
    std::string json;
    json_read_ptr doc;
    yyjson_val* get(const char* key) const { return yyjson_obj_get(yyjson_doc_get_root(doc.get()), key); }
    double num(const char* key) const { return yyjson_get_num(get(key)); }
    std::string str(const char* key) const {
        const char* s = yyjson_get_str(get(key));
        return s ? s : "";
    }
};

void probe(const std::string& path, probed* p) {
    p->rc = audioenhancer_probe(path.c_str(), &p->out);
    if (p->rc == 0) {
        p->json = p->out;
        p->doc.reset(yyjson_read(p->json.c_str(), p->json.size(), 0));
        ASSERT_TRUE(p->doc) << p->json;
    }
}

// A 1 kHz tone whose peak amplitude is `dbfs` on both channels of 48 kHz
// stereo, as 16-bit WAV (EBU Tech 3341 test 1 uses -23 dBFS).
std::string ebu_tone(int dbfs, int seconds) {
    char args[256];
    double a = std::pow(10.0, dbfs / 20.0);
    std::snprintf(args, sizeof args,
                  "-f lavfi -i 'aevalsrc=%.9f*sin(2*PI*1000*t)|%.9f*sin(2*PI*1000*t):s=48000:d=%d' "
                  "-c:a pcm_s16le",
                  a, a, seconds);
    return ffmpeg_fixture("probe_ebu_" + std::to_string(-dbfs) + "dbfs.wav", args);
}

std::string slurp_cmd(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// FFmpeg's own figures for a file: the last summary's "I:" and "Peak:".
bool reference_loudness(const std::string& path, double* integrated, double* peak) {
    std::string text = slurp_cmd("ffmpeg -nostdin -hide_banner -nostats -i '" + path +
                                 "' -af ebur128=peak=true -f null - 2>&1");
    size_t s = text.rfind("Summary:");
    if (s == std::string::npos) return false;
    size_t i = text.find("I:", s);
    size_t pk = text.find("Peak:", s);
    if (i == std::string::npos || pk == std::string::npos) return false;
    *integrated = std::strtod(text.c_str() + i + 2, nullptr);
    *peak = std::strtod(text.c_str() + pk + 5, nullptr);
    return true;
}

std::string write_fixture(const std::string& name, const std::string& bytes) {
    std::string path = fixture_dir() + "/" + name;
    write_file(path, bytes);
    return path;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

std::string stereo_wav() {
    return ffmpeg_fixture("probe_sine_48k_stereo.wav",
                          "-f lavfi -i sine=f=1000:d=3:sample_rate=48000 -ac 2");
}

}  // namespace

// ---------------------------------------------------------------- the answer

TEST(ProbeAnswer, EightMembersInOrderWithTheirTypes) {
    probed p;
    probe(stereo_wav(), &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    yyjson_val* root = yyjson_doc_get_root(p.doc.get());
    ASSERT_TRUE(yyjson_is_obj(root));
    ASSERT_EQ(yyjson_obj_size(root), 8u);

    struct member {
        const char* key;
        bool (*is)(yyjson_val*);
    } want[] = {
        {"duration_s", yyjson_is_real},  {"sample_rate", yyjson_is_int}, {"channels", yyjson_is_int},
        {"loudness_lufs", yyjson_is_real}, {"true_peak_db", yyjson_is_real},
        {"noisefloor_db", yyjson_is_real}, {"codec", yyjson_is_str},     {"format", yyjson_is_str},
    };
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    size_t idx = 0;
    while (yyjson_val* k = yyjson_obj_iter_next(&it)) {
        ASSERT_LT(idx, 8u);
        EXPECT_STREQ(yyjson_get_str(k), want[idx].key) << idx;
        EXPECT_TRUE(want[idx].is(yyjson_obj_iter_get_val(k))) << want[idx].key << " in " << p.json;
        idx++;
    }
    EXPECT_EQ(idx, 8u);

    // Compact text: no blank anywhere outside the strings.
    EXPECT_EQ(p.json.find(' '), std::string::npos) << p.json;
    EXPECT_EQ(p.json.find('\n'), std::string::npos);

    EXPECT_NEAR(p.num("duration_s"), 3.0, 0.001);
    EXPECT_EQ(yyjson_get_int(p.get("sample_rate")), 48000);
    EXPECT_EQ(yyjson_get_int(p.get("channels")), 2);
    EXPECT_EQ(p.str("codec"), "pcm_s16le");
    EXPECT_EQ(p.str("format"), "wav");
    // ffmpeg's sine source has amplitude 1/8 (-18 dBFS); spreading it over
    // two channels with -ac 2 takes 3 dB off each.
    EXPECT_NEAR(p.num("true_peak_db"), -21.06, 0.2);
    // A steady tone's quietest stretch is the tone itself.
    EXPECT_NEAR(p.num("noisefloor_db"), -21.07, 0.5);
}

TEST(ProbeAnswer, NamesOfOtherContainers) {
    struct {
        const char* name;
        const char* args;
        const char* codec;
        const char* format;
        int rate;
        int channels;
    } cases[] = {
        {"probe_44k_mono.flac", "-f lavfi -i sine=d=2:sample_rate=44100 -c:a flac", "flac", "flac", 44100, 1},
        {"probe_48k_stereo.m4a", "-f lavfi -i sine=d=2:sample_rate=48000 -ac 2 -c:a aac", "aac",
         "mov,mp4,m4a,3gp,3g2,mj2", 48000, 2},
        {"probe_44k_stereo.mp3", "-f lavfi -i sine=d=2:sample_rate=44100 -ac 2 -c:a libmp3lame", "mp3",
         "mp3", 44100, 2},
    };
    for (const auto& c : cases) {
        probed p;
        probe(ffmpeg_fixture(c.name, c.args), &p);
        ASSERT_EQ(p.rc, 0) << c.name << ": " << audioenhancer_last_error();
        EXPECT_EQ(p.str("codec"), c.codec);
        EXPECT_EQ(p.str("format"), c.format);
        EXPECT_EQ(yyjson_get_int(p.get("sample_rate")), c.rate);
        EXPECT_EQ(yyjson_get_int(p.get("channels")), c.channels);
        EXPECT_NEAR(p.num("duration_s"), 2.0, 0.06) << c.name;
        // A -18 dBFS sine reads about -21 LUFS on one channel; on two it is
        // 3 dB quieter per channel (-ac 2) and counted twice, so the same.
        EXPECT_NEAR(p.num("loudness_lufs"), -21.0, 1.5) << c.name;  // lossy codecs drift
    }
}

TEST(ProbeAnswer, SuccessLeavesNoErrorAndOverwritesTheEarlierText) {
    probed bad;
    probe("/no/such/file.wav", &bad);
    ASSERT_EQ(bad.rc, -1);
    ASSERT_NE(std::string(audioenhancer_last_error()), "");

    probed a;
    probe(stereo_wav(), &a);
    ASSERT_EQ(a.rc, 0);
    EXPECT_STREQ(audioenhancer_last_error(), "");

    probed b;
    probe(ffmpeg_fixture("probe_10s_44k.wav", "-f lavfi -i sine=f=440:d=10:sample_rate=44100"), &b);
    ASSERT_EQ(b.rc, 0);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(std::string(a.out), b.json);
    EXPECT_NE(a.json, b.json);
}

TEST(ProbeAnswer, FailureKeepsTheEarlierResultText) {
    probed a;
    probe(stereo_wav(), &a);
    ASSERT_EQ(a.rc, 0);
    std::string garbage = write_fixture("probe_keep_garbage.bin", std::string(5000, '\x7f'));
    for (const std::string& path : {std::string("/no/such/file.wav"), garbage, fixture_dir()}) {
        const char* out = kSentinel;
        EXPECT_EQ(audioenhancer_probe(path.c_str(), &out), -1) << path;
        EXPECT_EQ(out, kSentinel);
        EXPECT_EQ(std::string(a.out), a.json) << path;
    }
}

// ---------------------------------------------------------------- loudness

TEST(ProbeLoudness, EbuSineAtMinus23) {
    probed p;
    probe(ebu_tone(-23, 20), &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_NEAR(p.num("loudness_lufs"), -23.0, 0.1);
    EXPECT_NEAR(p.num("true_peak_db"), -23.0, 0.2);
    EXPECT_NEAR(p.num("duration_s"), 20.0, 0.001);
}

TEST(ProbeLoudness, EbuSineAtMinus33) {
    probed p;
    probe(ebu_tone(-33, 20), &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_NEAR(p.num("loudness_lufs"), -33.0, 0.1);
    EXPECT_NEAR(p.num("true_peak_db"), -33.0, 0.2);
}

TEST(ProbeLoudness, AgreesWithFfmpegEbur128) {
    std::string speech = speech_fixture(44100, 2);
    std::string music = ffmpeg_fixture(
        "probe_music_48k.wav",
        "-f lavfi -i \"aevalsrc=0.3*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*2*t))+0.1*sin(2*PI*3300*t)"
        "|0.25*sin(2*PI*277*t)+0.2*sin(2*PI*880*t)*(0.5+0.5*sin(2*PI*t)):s=48000:d=8\" -c:a pcm_s16le");
    std::string quiet = ffmpeg_fixture("probe_speech_quiet.wav", "-i '" + speech + "' -af volume=-15dB");
    for (const std::string& path : {speech, music, quiet}) {
        double ref_i = 0, ref_peak = 0;
        ASSERT_TRUE(reference_loudness(path, &ref_i, &ref_peak)) << path;
        probed p;
        probe(path, &p);
        ASSERT_EQ(p.rc, 0) << path << ": " << audioenhancer_last_error();
        EXPECT_NEAR(p.num("loudness_lufs"), ref_i, 0.1) << path;
        EXPECT_NEAR(p.num("true_peak_db"), ref_peak, 0.1) << path;
    }
}

TEST(ProbeLoudness, SilenceReportsTheFloor) {
    probed p;
    probe(ffmpeg_fixture("probe_silence.wav", "-f lavfi -i anullsrc=r=48000:cl=stereo -t 3"), &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_EQ(p.num("true_peak_db"), -70.0);
    EXPECT_EQ(p.num("noisefloor_db"), -70.0);
    EXPECT_NEAR(p.num("loudness_lufs"), -70.0, 0.01);
    EXPECT_NE(p.json.find("\"true_peak_db\":-70.0"), std::string::npos) << p.json;
}

TEST(ProbeLoudness, FiveOneFile) {
    probed p;
    probe(ffmpeg_fixture("probe_51.wav",
                         "-f lavfi -i 'aevalsrc=0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*1000*t)|"
                         "0.1*sin(2*PI*1000*t)|0|0.1*sin(2*PI*1000*t)|0.1*sin(2*PI*1000*t)"
                         ":s=48000:d=4:c=5.1'"),
          &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_EQ(yyjson_get_int(p.get("channels")), 6);
    double lufs = p.num("loudness_lufs");
    EXPECT_TRUE(std::isfinite(lufs));
    // Five channels at -20 dBFS: louder than one stereo pair at that level.
    EXPECT_GT(lufs, -20.0);
    EXPECT_LT(lufs, -10.0);
    EXPECT_NEAR(p.num("true_peak_db"), -20.0, 0.3);
}

TEST(ProbeLoudness, TenSecondsAt44k) {
    probed p;
    probe(ffmpeg_fixture("probe_10s_44k.wav", "-f lavfi -i sine=f=440:d=10:sample_rate=44100"), &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_NEAR(p.num("duration_s"), 10.0, 0.001);
    EXPECT_EQ(yyjson_get_int(p.get("sample_rate")), 44100);
    EXPECT_EQ(yyjson_get_int(p.get("channels")), 1);
    double ref_i = 0, ref_peak = 0;
    ASSERT_TRUE(reference_loudness(fixture_dir() + "/probe_10s_44k.wav", &ref_i, &ref_peak));
    EXPECT_NEAR(p.num("loudness_lufs"), ref_i, 0.1);
}

TEST(ProbeLoudness, TwentyMinuteRecordingStillMeasures) {
    // Long enough that per-frame log lines would fill the capture buffer.
    std::string path = ffmpeg_fixture("probe_20min_8k.wav",
                                      "-f lavfi -i anoisesrc=d=1200:c=pink:r=8000:a=0.02:s=7");
    probed p;
    probe(path, &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_NEAR(p.num("duration_s"), 1200.0, 0.01);
    EXPECT_EQ(yyjson_get_int(p.get("sample_rate")), 8000);
    double lufs = p.num("loudness_lufs");
    EXPECT_GT(lufs, -70.0);
    EXPECT_LT(lufs, -20.0);
    double ref_i = 0, ref_peak = 0;
    ASSERT_TRUE(reference_loudness(path, &ref_i, &ref_peak));
    EXPECT_NEAR(lufs, ref_i, 0.1);
}

// ---------------------------------------------------------------- failures

TEST(ProbeFailure, NullArguments) {
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(nullptr, &out), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
    EXPECT_EQ(out, kSentinel);
    EXPECT_EQ(audioenhancer_probe(stereo_wav().c_str(), nullptr), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
}

TEST(ProbeFailure, MissingFileAndDirectory) {
    std::string missing = fixture_dir() + "/probe_nothing.wav";
    std::string dir = scratch_dir("probe_dir");
    for (const std::string& path : {missing, dir}) {
        const char* out = kSentinel;
        EXPECT_EQ(audioenhancer_probe(path.c_str(), &out), -1);
        EXPECT_EQ(std::string(audioenhancer_last_error()), "file not found: " + path);
        EXPECT_EQ(out, kSentinel);
    }
}

TEST(ProbeFailure, GarbageAndEmptyFilesCannotBeOpened) {
    std::string bytes;
    unsigned seed = 12345;
    for (int i = 0; i < 20000; i++) {
        seed = seed * 1103515245u + 12345u;
        bytes += static_cast<char>(seed >> 24);
    }
    std::string garbage = write_fixture("probe_garbage.bin", bytes);
    std::string empty = write_fixture("probe_empty.wav", "");
    std::string text = write_fixture("probe_notes.txt", "Meeting notes, nothing to hear.\n");
    for (const std::string& path : {garbage, empty, text}) {
        const char* out = kSentinel;
        EXPECT_EQ(audioenhancer_probe(path.c_str(), &out), -1) << path;
        EXPECT_EQ(std::string(audioenhancer_last_error()), "cannot open input " + path);
        EXPECT_EQ(out, kSentinel);
    }
}

TEST(ProbeFailure, TruncatedFiles) {
    std::string wav = read_all(stereo_wav());
    ASSERT_GT(wav.size(), 1000u);

    // Only the header: the decoder finds no samples.
    std::string header = write_fixture("probe_header_only.wav", wav.substr(0, 44));
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(header.c_str(), &out), -1);
    std::string err = audioenhancer_last_error();
    EXPECT_TRUE(err == "no audio data decoded from " + header || err == "cannot open input " + header)
        << err;
    EXPECT_EQ(out, kSentinel);

    // Half of the data: what is there is measured.
    // Cut on a whole stereo frame: a stray half sample is invalid data.
    size_t data = wav.find("data") + 8;
    std::string half =
        write_fixture("probe_half.wav", wav.substr(0, data + (wav.size() - data) / 8 * 4));
    probed p;
    probe(half, &p);
    ASSERT_EQ(p.rc, 0) << audioenhancer_last_error();
    EXPECT_NEAR(p.num("loudness_lufs"), -21.1, 0.3);

    // An MP4 without its index at the end cannot be opened.
    std::string m4a = read_all(ffmpeg_fixture("probe_48k_stereo.m4a",
                                              "-f lavfi -i sine=d=2:sample_rate=48000 -ac 2 -c:a aac"));
    std::string cut = write_fixture("probe_cut.m4a", m4a.substr(0, m4a.size() / 2));
    out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(cut.c_str(), &out), -1);
    EXPECT_EQ(std::string(audioenhancer_last_error()), "cannot open input " + cut);
    EXPECT_EQ(out, kSentinel);
}

TEST(ProbeFailure, NoAudioStream) {
    std::string png = ffmpeg_fixture("probe_image.png", "-f lavfi -i testsrc=size=32x32:d=1 -frames:v 1");
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_probe(png.c_str(), &out), -1);
    EXPECT_EQ(std::string(audioenhancer_last_error()), "no audio stream in " + png);
    EXPECT_EQ(out, kSentinel);
}

TEST(ProbeFailure, DebugEchoesTheMessage) {
    setenv("AE_DEBUG", "1", 1);
    std::string missing = fixture_dir() + "/probe_nothing.wav";
    const char* out = kSentinel;
    testing::internal::CaptureStderr();
    int rc = audioenhancer_probe(missing.c_str(), &out);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AE_DEBUG");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, "[AE] file not found: " + missing + "\n");
}
