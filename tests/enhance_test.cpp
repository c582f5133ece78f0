// The enhance operation end to end, and the container writer beneath it.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "analysis/measure.h"
#include "base/error.h"
#include "base/settings.h"
#include "audioenhancer.h"
#include "engine/encoder.h"
#include "engine/graph.h"
#include "enhance/denoise.h"
#include "fixtures.h"
#include "platform/fs.h"

namespace {

struct answer {
    int rc = -1;
    std::string json;
    yyjson_doc* doc = nullptr;
    ~answer() { yyjson_doc_free(doc); }
    yyjson_val* get(const char* key) const { return yyjson_obj_get(yyjson_doc_get_root(doc), key); }
    double num(const char* key) const { return yyjson_get_num(get(key)); }
    std::string applied() const {
        std::string s;
        size_t i, n;
        yyjson_val* v;
        yyjson_arr_foreach(get("applied"), i, n, v) s += std::string(i ? "," : "") + yyjson_get_str(v);
        return s;
    }
};

void enhance(const std::string& in, const std::string& out, const char* options, answer* a) {
    const char* json = nullptr;
    a->rc = audioenhancer_enhance(in.c_str(), out.c_str(), options, &json);
    if (a->rc == 0) {
        a->json = json;
        a->doc = yyjson_read(json, a->json.size(), 0);
    }
}

std::string music_fixture() {
    // Chords with a beat: tonal, wide-band and dynamic enough to be "music".
    return ffmpeg_fixture(
        "music_44k_stereo.wav",
        "-f lavfi -i \"aevalsrc=0.2*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*2*t))+0.1*sin(2*PI*330*t)"
        "+0.05*sin(2*PI*1320*t)|0.2*sin(2*PI*277*t)+0.1*sin(2*PI*440*t)*(0.5+0.5*sin(2*PI*t))"
        ":s=44100:d=12\"");
}

std::string quiet_speech() {
    // Speech at about -30 LUFS, stereo 44.1 kHz.
    std::string speech = speech_fixture(44100, 2);
    return ffmpeg_fixture("speech_quiet_44k.wav", "-i '" + speech + "' -af volume=-12dB");
}

std::string loud_music() {
    return ffmpeg_fixture("music_loud_44k.wav", "-i '" + music_fixture() + "' -af volume=6dB");
}

}  // namespace

class EnhanceFormats : public ::testing::TestWithParam<const char*> {};

// Every container decodes back with its codec, rate, channel count and the
// input's duration, levelled to the target.
TEST_P(EnhanceFormats, LevelsSpeechAndMusicToTarget) {
    std::string ext = GetParam();
    std::string dir = scratch_dir("formats_" + ext);
    for (const std::string& in : {quiet_speech(), loud_music()}) {
        decoded_file src;
        ASSERT_TRUE(decode_file(in, &src));
        std::string out = dir + "/out." + ext;
        answer a;
        enhance(in, out, nullptr, &a);
        ASSERT_EQ(a.rc, 0) << g_err;
        EXPECT_EQ(a.applied(), "loudnorm");
        EXPECT_EQ(std::string(yyjson_get_str(a.get("output"))), out);

        decoded_file res;
        ASSERT_TRUE(decode_file(out, &res)) << out;
        EXPECT_EQ(res.channels, 2);
        int want_rate = ext == "opus" ? 48000 : 44100;
        EXPECT_EQ(res.sample_rate, want_rate);
        double in_s = double(src.frames) / src.sample_rate;
        double out_s = double(res.frames) / res.sample_rate;
        EXPECT_NEAR(out_s, in_s, 0.05) << ext;

        const char* json = nullptr;
        ASSERT_EQ(audioenhancer_probe(out.c_str(), &json), 0);
        yyjson_doc* p = yyjson_read(json, strlen(json), 0);
        yyjson_val* root = yyjson_doc_get_root(p);
        double lufs = yyjson_get_num(yyjson_obj_get(root, "loudness_lufs"));
        double peak = yyjson_get_num(yyjson_obj_get(root, "true_peak_db"));
        EXPECT_NEAR(lufs, -14.0, 0.5) << in << " -> " << ext;
        EXPECT_LE(peak, -1.0) << in << " -> " << ext;
        EXPECT_DOUBLE_EQ(a.num("after_lufs"), lufs);
        yyjson_doc_free(p);
    }
}

INSTANTIATE_TEST_SUITE_P(AllContainers, EnhanceFormats,
                         ::testing::Values("wav", "m4a", "mp4", "mp3", "ogg", "opus", "flac"));

TEST(Enhance, ContainersAndCodecs) {
    std::string in = ffmpeg_fixture("tone_48k_mono.wav", "-f lavfi -i sine=f=500:d=2:sample_rate=48000");
    std::string dir = scratch_dir("codecs");
    struct {
        const char* ext;
        const char* codec;
        const char* format;
    } rows[] = {{"wav", "pcm_s16le", "wav"},   {"m4a", "aac", "mov,mp4,m4a,3gp,3g2,mj2"},
                {"mp4", "aac", "mov,mp4,m4a,3gp,3g2,mj2"}, {"mp3", "mp3", "mp3"},
                {"ogg", "vorbis", "ogg"},      {"opus", "opus", "ogg"},
                {"flac", "flac", "flac"}};
    for (auto& r : rows) {
        std::string out = dir + "/x." + r.ext;
        answer a;
        enhance(in, out, "{\"loudnorm\":false}", &a);
        ASSERT_EQ(a.rc, 0) << r.ext << ": " << g_err;
        decoded_file res;
        ASSERT_TRUE(decode_file(out, &res));
        EXPECT_EQ(res.codec, r.codec);
        EXPECT_EQ(res.format, r.format);
        EXPECT_EQ(res.channels, 1);
        EXPECT_EQ(res.sample_rate, 48000);
        EXPECT_NEAR(a.num("size_mb") * 1048576.0, double(fs_file_size(out.c_str())), 0.5);
    }
}

TEST(Enhance, EverythingOffWritesTheInputUnchanged) {
    std::string in = speech_fixture(22050, 1);
    std::string out = scratch_dir("off") + "/same.wav";
    answer a;
    enhance(in, out,
            "{\"denoise\":0,\"loudnorm\":false,\"repair_clicks\":false,\"eq\":\"none\","
            "\"normalize_peak\":false}",
            &a);
    ASSERT_EQ(a.rc, 0) << g_err;
    EXPECT_EQ(a.applied(), "");
    decoded_file x, y;
    ASSERT_TRUE(decode_file(in, &x));
    ASSERT_TRUE(decode_file(out, &y));
    ASSERT_EQ(x.frames, y.frames);
    EXPECT_EQ(memcmp(x.pcm.get(), y.pcm.get(), x.frames * 2), 0);
    EXPECT_DOUBLE_EQ(a.num("before_lufs"), a.num("after_lufs"));
    EXPECT_DOUBLE_EQ(a.num("duration_s"), x.duration_s);
}

TEST(Enhance, AnswerMembersInOrder) {
    std::string in = speech_fixture(48000, 1);
    answer a;
    enhance(in, scratch_dir("order") + "/o.flac", "{\"eq\":\"voice\",\"normalize_peak\":true,"
            "\"repair_clicks\":true}", &a);
    ASSERT_EQ(a.rc, 0) << g_err;
    const char* keys[] = {"output", "before_lufs", "after_lufs", "before_peak",
                          "after_peak", "size_mb", "duration_s", "applied"};
    yyjson_obj_iter it = yyjson_obj_iter_with(yyjson_doc_get_root(a.doc));
    for (const char* k : keys) {
        yyjson_val* key = yyjson_obj_iter_next(&it);
        ASSERT_NE(key, nullptr);
        EXPECT_STREQ(yyjson_get_str(key), k);
    }
    EXPECT_EQ(yyjson_obj_iter_next(&it), nullptr);
    EXPECT_EQ(a.applied(), "loudnorm,repair_clicks,eq_voice,normalize_peak");
    EXPECT_STREQ(audioenhancer_last_error(), "");
}

TEST(Enhance, Failures) {
    std::string in = ffmpeg_fixture("tone_48k_mono.wav", "-f lavfi -i sine=f=500:d=2:sample_rate=48000");
    std::string dir = scratch_dir("failures");
    const char* sentinel = "sentinel";
    const char* json = sentinel;

    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/o.WAV").c_str(), nullptr, &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(),
                 "unsupported output extension .WAV (use wav/m4a/mp3/ogg/opus/flac)");
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/noext").c_str(), nullptr, &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(),
                 "unsupported output extension . (use wav/m4a/mp3/ogg/opus/flac)");
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/d.wav/out").c_str(), nullptr, &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(),
                 "unsupported output extension .wav/out (use wav/m4a/mp3/ogg/opus/flac)");
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/missing/o.wav").c_str(), nullptr, &json), -1);
    EXPECT_EQ(std::string(audioenhancer_last_error()), "cannot open output file " + dir + "/missing/o.wav");
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/o.wav").c_str(), "{denoise: 3}", &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "options JSON parse failed: {denoise: 3}");
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), (dir + "/o.wav").c_str(), "[1]", &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "options JSON must be an object");
    EXPECT_EQ(audioenhancer_enhance(dir.c_str(), (dir + "/o.wav").c_str(), nullptr, &json), -1);
    EXPECT_EQ(std::string(audioenhancer_last_error()), "file not found: " + dir);
    EXPECT_EQ(audioenhancer_enhance(in.c_str(), nullptr, nullptr, &json), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
    std::string text = dir + "/notes.wav";
    write_file(text, "just text, no audio");
    EXPECT_EQ(audioenhancer_enhance(text.c_str(), (dir + "/o.wav").c_str(), nullptr, &json), -1);
    EXPECT_EQ(std::string(audioenhancer_last_error()), "cannot open input " + text);
    EXPECT_EQ(json, sentinel);
}

TEST(Enhance, RefusesToOverwriteItsInput) {
    std::string dir = scratch_dir("overwrite");
    std::string in = dir + "/take.wav";
    ASSERT_EQ(run_cmd("ffmpeg -nostdin -v error -f lavfi -i sine=d=1 '" + in + "'"), 0);
    int64_t before = fs_file_size(in.c_str());
    const char* json = nullptr;
    for (std::string out : {in, dir + "/./take.wav", dir + "/../" +
                                 dir.substr(dir.rfind('/') + 1) + "/take.wav"}) {
        EXPECT_EQ(audioenhancer_enhance(in.c_str(), out.c_str(), nullptr, &json), -1);
        EXPECT_EQ(std::string(audioenhancer_last_error()), "output path is the input file: " + out);
    }
    ASSERT_EQ(run_cmd("ln -s take.wav '" + dir + "/link.wav'"), 0);
    EXPECT_EQ(audioenhancer_enhance((dir + "/link.wav").c_str(), in.c_str(), nullptr, &json), -1);
    EXPECT_EQ(fs_file_size(in.c_str()), before);
    decoded_file d;
    EXPECT_TRUE(decode_file(in, &d));
}

// A chain of one's own runs on the decoded audio and its output measures;
// a chain FFmpeg cannot parse fails with the parser's message.
TEST(Enhance, ChainOnTheDecodedAudio) {
    std::string in = ffmpeg_fixture("tone_48k_mono.wav", "-f lavfi -i sine=f=500:d=2:sample_rate=48000");
    decoded_file d;
    ASSERT_TRUE(decode_file(in, &d));
    const settings cfg = settings_from_env();
    loudness_stats before;
    ASSERT_EQ(measure_pcm(d.pcm.get(), d.frames, d.sample_rate, d.channels, cfg, &before), 0);

    pcm_ptr out;
    int64_t out_frames = 0;
    int rc = run_chain("volume=-6dB", d.pcm.get(), d.frames, d.sample_rate, d.channels, &out,
                       &out_frames);
    ASSERT_EQ(rc, 0) << g_err;
    loudness_stats st;
    EXPECT_EQ(measure_pcm(out.get(), out_frames, d.sample_rate, d.channels, cfg, &st), 0);
    EXPECT_NEAR(st.integrated, before.integrated - 6.0, 0.1);

    clear_err();
    rc = run_chain("nosuchfilter", d.pcm.get(), d.frames, d.sample_rate, d.channels, &out,
                   &out_frames);
    EXPECT_EQ(rc, -1);
    EXPECT_NE(std::string(g_err).find("filtergraph parse failed: nosuchfilter"),
              std::string::npos) << g_err;
}

TEST(Enhance, DebugWritesTheLoudnormLog) {
    std::string in = ffmpeg_fixture("tone_48k_mono.wav", "-f lavfi -i sine=f=500:d=2:sample_rate=48000");
    std::string dir = scratch_dir("debuglog");
    std::remove("ae_lnorm_log.txt");
    setenv("AE_DEBUG", "", 1);
    testing::internal::CaptureStderr();
    const char* json = nullptr;
    int rc = audioenhancer_enhance(in.c_str(), (dir + "/o.wav").c_str(), nullptr, &json);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AE_DEBUG");
    ASSERT_EQ(rc, 0);
    EXPECT_NE(err.find("[AE] level: linear, gain +"), std::string::npos) << err;
    FILE* f = fopen("ae_lnorm_log.txt", "r");
    ASSERT_NE(f, nullptr);
    std::string log(1 << 16, '\0');
    log.resize(fread(&log[0], 1, log.size(), f));
    fclose(f);
    EXPECT_NE(log.find("\"input_i\""), std::string::npos);
    // The whole report, through its closing brace.
    EXPECT_NE(log.find("\"target_offset\""), std::string::npos);
    EXPECT_NE(log.find("}\n"), std::string::npos);
}

TEST(Encoder, PartialLastChunkAndExactSamples) {
    // 2500 frames go out as 1024 + 1024 + 452 and come back sample for sample.
    std::vector<int16_t> pcm(2500 * 2);
    for (size_t i = 0; i < pcm.size(); i++) pcm[i] = int16_t((i * 7919) % 65536 - 32768);
    std::string dir = scratch_dir("encoder");
    for (const char* ext : {"wav", "flac"}) {
        std::string out = dir + "/x." + ext;
        ASSERT_EQ(encode_file(out.c_str(), pcm.data(), 2500, 32000, 2), 0) << g_err;
        decoded_file d;
        ASSERT_TRUE(decode_file(out, &d));
        ASSERT_EQ(d.frames, 2500) << ext;
        EXPECT_EQ(memcmp(d.pcm.get(), pcm.data(), pcm.size() * 2), 0) << ext;
    }
    EXPECT_EQ(fs_file_size((dir + "/none.wav").c_str()), -1);
}

TEST(Encoder, SurroundKeepsItsChannels) {
    std::vector<int16_t> pcm(48000 * 6, 1000);
    std::string dir = scratch_dir("surround");
    for (const char* ext : {"wav", "flac", "m4a", "ogg", "opus"}) {
        std::string out = dir + "/x." + ext;
        ASSERT_EQ(encode_file(out.c_str(), pcm.data(), 48000, 48000, 6), 0) << ext << ": " << g_err;
        decoded_file d;
        ASSERT_TRUE(decode_file(out, &d)) << ext;
        EXPECT_EQ(d.channels, 6) << ext;
        EXPECT_NEAR(double(d.frames) / d.sample_rate, 1.0, 0.05) << ext;
    }
}

TEST(EnhanceDenoise, StageRunsFirstAndItsInstanceIsReleased) {
    std::string in = speech_fixture(44100, 2);
    std::string dir = scratch_dir("enh_denoise");
    setenv("AE_DEBUG", "1", 1);
    testing::internal::CaptureStderr();
    answer a;
    enhance(in, dir + "/d8.wav", "{\"denoise\":8,\"eq\":\"voice\"}", &a);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AE_DEBUG");
    ASSERT_EQ(a.rc, 0) << g_err;
    EXPECT_EQ(a.applied(), "denoise,loudnorm,eq_voice");
    EXPECT_NE(err.find("[AE] chain: afftdn=nr=12,equalizer=f=250"), std::string::npos) << err;
    EXPECT_EQ(denoiser_instance(), nullptr);  // every call that got past decoding releases it

    answer b;
    enhance(in, dir + "/d7.wav", "{\"denoise\":7,\"loudnorm\":false}", &b);
    ASSERT_EQ(b.rc, 0) << g_err;
    EXPECT_EQ(b.applied(), "denoise");
    EXPECT_EQ(denoiser_instance(), nullptr);
    decoded_file x, y;
    ASSERT_TRUE(decode_file(in, &x));
    ASSERT_TRUE(decode_file(dir + "/d7.wav", &y));
    EXPECT_EQ(y.sample_rate, 44100);
    EXPECT_NEAR(double(y.frames) / y.sample_rate, double(x.frames) / x.sample_rate, 0.01);
}
