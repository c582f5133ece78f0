// Decoding whole files into interleaved 16-bit PCM: formats, layouts,
// sample conversion, streams other than audio, and broken inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "engine/decoder.h"
#include "engine/pcm.h"
#include "fixtures.h"

// Under AddressSanitizer an impossible allocation must return null, as the
// system allocator does, so the failure path of the growth can run.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

void put_u16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>(v >> 8);
}
void put_u32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s += static_cast<char>((v >> (8 * i)) & 0xff);
}

// A canonical RIFF/WAVE file. tag 1 = integer PCM, 3 = IEEE float.
std::string wav_bytes(int tag, int bits, int channels, int rate, const std::string& data,
                      uint32_t declared_data_size) {
    std::string s = "RIFF";
    put_u32(s, 36 + declared_data_size);
    s += "WAVEfmt ";
    put_u32(s, 16);
    put_u16(s, static_cast<uint16_t>(tag));
    put_u16(s, static_cast<uint16_t>(channels));
    put_u32(s, static_cast<uint32_t>(rate));
    put_u32(s, static_cast<uint32_t>(rate * channels * bits / 8));
    put_u16(s, static_cast<uint16_t>(channels * bits / 8));
    put_u16(s, static_cast<uint16_t>(bits));
    s += "data";
    put_u32(s, declared_data_size);
    return s + data;
}

std::string wav_bytes(int tag, int bits, int channels, int rate, const std::string& data) {
    return wav_bytes(tag, bits, channels, rate, data, static_cast<uint32_t>(data.size()));
}

template <typename T>
std::string raw(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

std::string write_fixture(const std::string& name, const std::string& bytes) {
    std::string path = fixture_dir() + "/" + name;
    write_file(path, bytes);
    return path;
}

// Samples that visit the extremes, zero, odd values and both signs.
std::vector<int16_t> known_s16(int frames, int channels) {
    std::vector<int16_t> v(static_cast<size_t>(frames) * channels);
    const int16_t special[] = {0, 1, -1, 32767, -32768, 12345, -12345, 256, -256, 2};
    for (int i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++) {
            size_t k = static_cast<size_t>(i) * channels + c;
            v[k] = i < 10 ? special[(i + c) % 10]
                          : static_cast<int16_t>((i * 7919 + c * 104729) % 65536 - 32768);
        }
    return v;
}

struct opened {
    decoder_state st;
    pcm_ptr pcm;
    int64_t frames = -7;
    int open_rc = -2;
    int all_rc = -2;
};

void decode(const std::string& path, opened* o) {
    g_err[0] = '\0';
    o->open_rc = decode_open(&o->st, path.c_str());
    if (o->open_rc == 0) o->all_rc = decode_all(&o->st, settings_from_env(), &o->pcm, &o->frames);
}

struct format_case {
    const char* name;
    const char* args;
    int rate;
    int channels;
    int64_t frames;  // expected frames
    int64_t slack;   // allowed difference (codec delay and padding)
    const char* codec;
    const char* format;
};

class DecodeFormats : public ::testing::TestWithParam<format_case> {};

}  // namespace

// ---------------------------------------------------------------- formats

TEST_P(DecodeFormats, RateChannelsFramesAndNames) {
    const format_case& c = GetParam();
    std::string path = ffmpeg_fixture(c.name, c.args);
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.open_rc, 0) << g_err;
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.st.sample_rate, c.rate);
    EXPECT_EQ(o.st.channels, c.channels);
    EXPECT_STREQ(o.st.codec, c.codec);
    EXPECT_STREQ(o.st.format, c.format);
    EXPECT_NEAR(static_cast<double>(o.frames), static_cast<double>(c.frames),
                static_cast<double>(c.slack));
    EXPECT_NEAR(o.st.duration_s, static_cast<double>(c.frames) / c.rate, 0.06);
    ASSERT_TRUE(o.pcm);

    // The buffer holds frames * channels samples: the last one is readable
    // (checked by the sanitizer build) and the tone is really there.
    int64_t n = o.frames * o.st.channels;
    int peak = 0;
    for (int64_t i = 0; i < n; i++) peak = std::max(peak, std::abs(static_cast<int>(o.pcm.get()[i])));
    EXPECT_GT(peak, 8000);
    EXPECT_LT(peak, 20000);
    volatile int16_t last = o.pcm.get()[n - 1];
    (void)last;
}

// A 1 kHz tone at about -6 dBFS (peak 16384).
#define TONE(rate, d) "-f lavfi -i sine=f=1000:d=" #d ":sample_rate=" #rate " -af volume=12dB"

INSTANTIATE_TEST_SUITE_P(
    Containers, DecodeFormats,
    ::testing::Values(
        format_case{"dec_mono_44k.wav", TONE(44100, 2), 44100, 1, 88200, 0, "pcm_s16le", "wav"},
        format_case{"dec_stereo_48k.wav", TONE(48000, 3) " -ac 2", 48000, 2, 144000, 0, "pcm_s16le",
                    "wav"},
        format_case{"dec_stereo_44k.flac", TONE(44100, 2) " -ac 2", 44100, 2, 88200, 0, "flac",
                    "flac"},
        format_case{"dec_mono_48k.flac", TONE(48000, 1), 48000, 1, 48000, 0, "flac", "flac"},
        format_case{"dec_mono_48k.mp3", TONE(48000, 2) " -c:a libmp3lame -b:a 128k", 48000, 1, 96000,
                    2400, "mp3", "mp3"},
        format_case{"dec_stereo_44k.mp3", TONE(44100, 2) " -ac 2 -c:a libmp3lame", 44100, 2, 88200,
                    2400, "mp3", "mp3"},
        format_case{"dec_stereo_44k.m4a", TONE(44100, 2) " -ac 2 -c:a aac", 44100, 2, 88200, 2100,
                    "aac", "mov,mp4,m4a,3gp,3g2,mj2"},
        format_case{"dec_mono_48k.m4a", TONE(48000, 2) " -c:a aac", 48000, 1, 96000, 2100, "aac",
                    "mov,mp4,m4a,3gp,3g2,mj2"},
        format_case{"dec_stereo_48k.ogg", TONE(48000, 2) " -ac 2 -c:a libvorbis", 48000, 2, 96000,
                    2100, "vorbis", "ogg"}),
    [](const ::testing::TestParamInfo<format_case>& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

// ---------------------------------------------------------------- samples

TEST(DecodeSamples, S16WavComesBackBitExact) {
    for (int channels : {1, 2, 8}) {
        std::vector<int16_t> samples = known_s16(5000, channels);
        std::string path = write_fixture("dec_known_s16_" + std::to_string(channels) + ".wav",
                                         wav_bytes(1, 16, channels, 48000, raw(samples)));
        opened o;
        decode(path, &o);
        ASSERT_EQ(o.all_rc, 0) << g_err;
        ASSERT_EQ(o.st.channels, channels);
        ASSERT_EQ(o.frames, 5000);
        EXPECT_EQ(std::memcmp(o.pcm.get(), samples.data(), samples.size() * 2), 0) << channels;
    }
}

TEST(DecodeSamples, PlanarS16FromFlacIsInterleavedExactly) {
    std::vector<int16_t> samples = known_s16(20000, 2);
    std::string wav = write_fixture("dec_known_flac_src.wav", wav_bytes(1, 16, 2, 44100, raw(samples)));
    std::string path = ffmpeg_fixture("dec_known_s16.flac", "-i '" + wav + "' -c:a flac");
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, 20000);
    ASSERT_EQ(o.st.channels, 2);
    EXPECT_EQ(std::memcmp(o.pcm.get(), samples.data(), samples.size() * 2), 0);
}

TEST(DecodeSamples, U8IsScaledAndTruncated) {
    std::vector<uint8_t> samples;
    for (int i = 0; i < 256; i++) samples.push_back(static_cast<uint8_t>(i));
    std::string path = write_fixture("dec_u8.wav", wav_bytes(1, 8, 1, 8000, raw(samples)));
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, 256);
    for (int i = 0; i < 256; i++) {
        int expect = static_cast<int>((i - 128) * 0.0078125 * 32767.0);
        ASSERT_EQ(o.pcm.get()[i], expect) << "u8 " << i;
    }
    EXPECT_EQ(o.pcm.get()[0], -32767);
    EXPECT_EQ(o.pcm.get()[128], 0);
    EXPECT_EQ(o.pcm.get()[255], 32511);
}

TEST(DecodeSamples, S32AndS24AreScaledAndTruncated) {
    std::vector<int32_t> s32 = {0, 1, -1, 65536, -65536, INT32_MAX, INT32_MIN, 1 << 30, -(1 << 30),
                                123456789, -987654321, 65537, -65537};
    std::string p32 = write_fixture("dec_s32.wav", wav_bytes(1, 32, 1, 48000, raw(s32)));
    opened o;
    decode(p32, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, static_cast<int64_t>(s32.size()));
    for (size_t i = 0; i < s32.size(); i++) {
        int expect = static_cast<int>(s32[i] * 4.656612873077393e-10 * 32767.0);
        EXPECT_EQ(o.pcm.get()[i], expect) << "s32 " << s32[i];
    }
    EXPECT_EQ(o.pcm.get()[5], 32766);
    EXPECT_EQ(o.pcm.get()[6], -32767);

    // 24-bit PCM decodes to 32-bit samples shifted up by 8 bits.
    std::vector<int32_t> s24 = {0, 1, -1, 8388607, -8388608, 4194304, -12345, 256};
    std::string bytes;
    for (int32_t v : s24)
        for (int b = 0; b < 3; b++) bytes += static_cast<char>((static_cast<uint32_t>(v) >> (8 * b)) & 0xff);
    std::string p24 = write_fixture("dec_s24.wav", wav_bytes(1, 24, 1, 48000, bytes));
    opened o24;
    decode(p24, &o24);
    ASSERT_EQ(o24.all_rc, 0) << g_err;
    ASSERT_EQ(o24.frames, static_cast<int64_t>(s24.size()));
    for (size_t i = 0; i < s24.size(); i++) {
        int expect = static_cast<int>(static_cast<double>(s24[i] * 256) * 4.656612873077393e-10 * 32767.0);
        EXPECT_EQ(o24.pcm.get()[i], expect) << "s24 " << s24[i];
    }
}

TEST(DecodeSamples, FloatFollowsTheClippingRule) {
    std::vector<float> f = {0.0f, 1.0f, -1.0f, 1.5f, -1.5f, 0.5f, -0.5f, 0.99999f, 2e-5f, -2e-5f,
                            1.0000001f, -1.0000305f, 100.0f, -100.0f};
    std::vector<float> stereo;
    for (float x : f) {
        stereo.push_back(x);
        stereo.push_back(-x);
    }
    std::string path = write_fixture("dec_f32.wav", wav_bytes(3, 32, 2, 48000, raw(stereo)));
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, static_cast<int64_t>(f.size()));
    for (size_t i = 0; i < stereo.size(); i++) {
        double v = static_cast<double>(stereo[i]) * 32767.0;
        int expect = v > 32767.0 ? 32767 : static_cast<int>(std::max(v, -32768.0));
        EXPECT_EQ(o.pcm.get()[i], expect) << "float " << stereo[i];
    }
    EXPECT_EQ(o.pcm.get()[2], 32767);    // 1.0
    EXPECT_EQ(o.pcm.get()[4], -32767);   // -1.0
    EXPECT_EQ(o.pcm.get()[6], 32767);    // 1.5
    EXPECT_EQ(o.pcm.get()[8], -32768);   // -1.5
    EXPECT_EQ(o.pcm.get()[10], 16383);   // 0.5
}

// ---------------------------------------------------------------- layouts

TEST(DecodeLayouts, MoreThanEightChannelsKeepChannelZero) {
    const int channels = 10, frames = 3000;
    std::vector<int16_t> s16(static_cast<size_t>(frames) * channels);
    std::vector<float> flt(s16.size());
    for (int i = 0; i < frames; i++)
        for (int c = 0; c < channels; c++) {
            s16[i * channels + c] = static_cast<int16_t>((c + 1) * 1000 + i % 100);
            flt[i * channels + c] = (c == 0 ? 0.25f : -0.5f) * (i % 2 ? 1.0f : -1.0f);
        }

    std::string p16 = write_fixture("dec_10ch_s16.wav", wav_bytes(1, 16, channels, 48000, raw(s16)));
    opened o;
    decode(p16, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.st.channels, 1);
    ASSERT_EQ(o.frames, frames);
    for (int i = 0; i < frames; i++) ASSERT_EQ(o.pcm.get()[i], 1000 + i % 100) << "frame " << i;

    std::string pf = write_fixture("dec_10ch_f32.wav", wav_bytes(3, 32, channels, 48000, raw(flt)));
    opened of;
    decode(pf, &of);
    ASSERT_EQ(of.all_rc, 0) << g_err;
    EXPECT_EQ(of.st.channels, 1);
    ASSERT_EQ(of.frames, frames);
    for (int i = 0; i < frames; i++)
        ASSERT_EQ(of.pcm.get()[i], i % 2 ? 8191 : -8191) << "frame " << i;
}

TEST(DecodeLayouts, TenSinesFromFfmpegKeepTheFirstOne) {
    // Channel 0 is a 500 Hz tone, the others are silent: channel 0's
    // signal, not a mix or interleaved samples, must come out.
    std::string expr = "0.5*sin(2*PI*500*t)";
    for (int c = 1; c < 10; c++) expr += "|0";
    std::string path = ffmpeg_fixture("dec_10ch_sine.wav", "-f lavfi -i 'aevalsrc=" + expr + ":s=16000:d=1'");
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.st.channels, 1);
    ASSERT_EQ(o.frames, 16000);
    for (int i = 0; i < 16000; i++) {
        double expect = 0.5 * std::sin(2 * M_PI * 500 * i / 16000.0) * 32768.0;
        ASSERT_NEAR(o.pcm.get()[i], expect, 2.0) << "frame " << i;
    }
}

TEST(DecodeLayouts, FiveOneKeepsSixChannels) {
    std::string path = ffmpeg_fixture(
        "dec_51.wav", "-f lavfi -i 'aevalsrc=0.1|0.2|0.3|0.4|0.5|0.6:s=48000:d=1:c=5.1'");
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.st.channels, 6);
    ASSERT_EQ(o.frames, 48000);
    for (int c = 0; c < 6; c++) EXPECT_NEAR(o.pcm.get()[100 * 6 + c], (c + 1) * 0.1 * 32768, 2.0) << c;
}

// ---------------------------------------------------------------- streams

TEST(DecodeStreams, VideoAndAudioYieldsTheAudioOnly) {
    struct {
        const char* name;
        const char* args;
        int64_t frames;
        int64_t slack;
    } cases[] = {
        {"dec_av.mkv",
         "-f lavfi -i testsrc=size=64x48:rate=10:d=1 -f lavfi -i sine=f=440:d=1:sample_rate=48000 "
         "-c:v mpeg4 -c:a pcm_s16le",
         48000, 0},
        {"dec_av.mp4",
         "-f lavfi -i testsrc=size=64x48:rate=10:d=1 -f lavfi -i sine=f=440:d=1:sample_rate=48000 "
         "-c:v mpeg4 -c:a aac",
         48000, 2100},
    };
    for (const auto& c : cases) {
        std::string path = ffmpeg_fixture(c.name, c.args);
        opened o;
        decode(path, &o);
        ASSERT_EQ(o.all_rc, 0) << c.name << ": " << g_err;
        EXPECT_EQ(o.st.stream_index, 1) << c.name;
        EXPECT_EQ(o.st.sample_rate, 48000);
        EXPECT_EQ(o.st.channels, 1);
        EXPECT_NEAR(static_cast<double>(o.frames), static_cast<double>(c.frames),
                    static_cast<double>(c.slack))
            << c.name;
        EXPECT_NEAR(o.st.duration_s, 1.0, 0.06) << c.name;
    }
}

TEST(DecodeStreams, NoAudioStream) {
    std::string png = ffmpeg_fixture("dec_image.png", "-f lavfi -i testsrc=size=32x32:d=1 -frames:v 1");
    std::string video = ffmpeg_fixture("dec_video_only.mkv",
                                       "-f lavfi -i testsrc=size=32x32:rate=5:d=1 -c:v mpeg4");
    for (const std::string& path : {png, video}) {
        decoder_state st;
        g_err[0] = '\0';
        EXPECT_EQ(decode_open(&st, path.c_str()), -1) << path;
        EXPECT_EQ(std::string(g_err), "no audio stream in " + path);
        EXPECT_FALSE(st.fmt);
        EXPECT_FALSE(st.dec);
        EXPECT_FALSE(st.frame);
    }
}

// ---------------------------------------------------------------- broken inputs

TEST(DecodeBroken, ZeroFramesNamesThePath) {
    std::string path = write_fixture("dec_empty_data.wav", wav_bytes(1, 16, 2, 44100, ""));
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.open_rc, 0) << g_err;
    EXPECT_EQ(o.all_rc, -1);
    EXPECT_EQ(std::string(g_err), "no audio data decoded from " + path);
    EXPECT_FALSE(o.pcm);
    EXPECT_EQ(o.frames, -7);
}

TEST(DecodeBroken, TextIsNoInput) {
    std::string path = write_fixture("dec_notes.txt", "These are my notes.\nNothing to hear here.\n");
    std::string dat = write_fixture("dec_notes.dat", "These are my notes.\nNothing to hear here.\n");
    decoder_state st;
    g_err[0] = '\0';
    EXPECT_EQ(decode_open(&st, path.c_str()), -1);
    EXPECT_EQ(std::string(g_err), "cannot open input " + path);
    // Without a telling extension FFmpeg may take the text for raw data and
    // give up only when it looks for streams.
    g_err[0] = '\0';
    EXPECT_EQ(decode_open(&st, dat.c_str()), -1);
    std::string err = g_err;
    EXPECT_TRUE(err == "cannot open input " + dat || err == "cannot read stream info " + dat) << err;
}

TEST(DecodeBroken, MissingAndEmptyFiles) {
    std::string empty = write_fixture("dec_zero_bytes.wav", "");
    std::string missing = fixture_dir() + "/dec_does_not_exist.wav";
    for (const std::string& p : {empty, missing}) {
        decoder_state st;
        g_err[0] = '\0';
        EXPECT_EQ(decode_open(&st, p.c_str()), -1);
        EXPECT_EQ(std::string(g_err), "cannot open input " + p);
    }
}

TEST(DecodeBroken, TruncatedWavKeepsWhatIsThere) {
    std::vector<int16_t> samples = known_s16(48000, 2);
    std::string full = wav_bytes(1, 16, 2, 48000, raw(samples));
    // The header promises a second of audio; only 1000 frames follow.
    std::string path = write_fixture("dec_truncated.wav", full.substr(0, 44 + 1000 * 4));
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, 1000);
    EXPECT_EQ(std::memcmp(o.pcm.get(), samples.data(), 1000 * 4), 0);
    // A stray half sample at the end is data the decoder refuses: the call
    // fails with the decoder's own words instead of inventing a sample.
    path = write_fixture("dec_truncated_odd.wav", full.substr(0, 44 + 1000 * 4 + 1));
    opened odd;
    decode(path, &odd);
    EXPECT_EQ(odd.all_rc, -1);
    EXPECT_EQ(std::string(g_err).rfind("receive_frame: ", 0), 0u) << g_err;
}

TEST(DecodeBroken, TruncatedCompressedFilesDecodeOrFailCleanly) {
    struct {
        const char* name;
        const char* args;
    } cases[] = {
        {"dec_trunc_src.flac", TONE(44100, 4) " -ac 2"},
        {"dec_trunc_src.mp3", TONE(44100, 4) " -ac 2 -c:a libmp3lame"},
        {"dec_trunc_src.ogg", TONE(44100, 4) " -ac 2 -c:a libvorbis"},
        {"dec_trunc_src.m4a", TONE(44100, 4) " -ac 2 -c:a aac"},
    };
    for (const auto& c : cases) {
        std::string src = ffmpeg_fixture(c.name, c.args);
        FILE* f = std::fopen(src.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::string bytes;
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
        for (double keep : {0.5, 0.1}) {
            std::string path = fixture_dir() + "/trunc_" + std::to_string(static_cast<int>(keep * 100)) +
                               "_" + c.name;
            write_file(path, bytes.substr(0, static_cast<size_t>(bytes.size() * keep)));
            opened o;
            decode(path, &o);
            if (o.open_rc == 0 && o.all_rc == 0) {
                EXPECT_GT(o.frames, 0) << path;
                EXPECT_LT(o.frames, 4 * 44100) << path;
                ASSERT_TRUE(o.pcm);
            } else {
                EXPECT_NE(std::string(g_err), "") << path;
                EXPECT_FALSE(o.pcm) << path;
                EXPECT_EQ(o.frames, -7) << path;
            }
        }
    }
}

TEST(DecodeBroken, GarbageAfterAValidHeader) {
    std::string bytes = wav_bytes(1, 16, 1, 8000, std::string(8000, '\x55'));
    std::string path = write_fixture("dec_garbage_data.wav", bytes);
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.frames, 4000);
    EXPECT_EQ(o.pcm.get()[3999], 0x5555);
}

// ---------------------------------------------------------------- duration

TEST(DecodeDuration, FromTheContainer) {
    std::string path = ffmpeg_fixture("dec_dur_10s.wav", TONE(44100, 10));
    decoder_state st;
    ASSERT_EQ(decode_open(&st, path.c_str()), 0) << g_err;
    EXPECT_NEAR(st.duration_s, 10.0, 0.001);
}

TEST(DecodeDuration, NoDurationAnywhereGivesZero) {
    // A FLAC written to a pipe has no sample count in its header.
    std::string path = fixture_dir() + "/dec_piped.flac";
    ASSERT_EQ(run_cmd("ffmpeg -nostdin -y -v error -f lavfi -i sine=f=1000:d=1:sample_rate=44100 "
                      "-c:a flac -f flac - | cat > '" + path + "'"),
              0);
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    EXPECT_EQ(o.st.duration_s, 0.0);
    EXPECT_EQ(o.frames, 44100);
}

// ---------------------------------------------------------------- state

TEST(DecodeState, OpenResetsAnEarlierState) {
    std::string stereo = ffmpeg_fixture("dec_stereo_48k.wav", TONE(48000, 3) " -ac 2");
    std::string mono = ffmpeg_fixture("dec_mono_44k.wav", TONE(44100, 2));
    decoder_state st;
    ASSERT_EQ(decode_open(&st, stereo.c_str()), 0) << g_err;
    ASSERT_EQ(decode_open(&st, mono.c_str()), 0) << g_err;
    EXPECT_EQ(st.channels, 1);
    EXPECT_EQ(st.sample_rate, 44100);
    pcm_ptr pcm;
    int64_t frames = 0;
    ASSERT_EQ(decode_all(&st, settings_from_env(), &pcm, &frames), 0) << g_err;
    EXPECT_EQ(frames, 88200);

    // A failed open leaves nothing behind.
    EXPECT_EQ(decode_open(&st, "/no/such/file.wav"), -1);
    EXPECT_FALSE(st.fmt);
    EXPECT_EQ(st.sample_rate, 0);
    EXPECT_STREQ(st.codec, "");
}

TEST(DecodeState, LongFileCrossesTheFirstGrowth) {
    // 1,048,576 frames of capacity come first; 25 s at 48 kHz needs more.
    std::string path = ffmpeg_fixture("dec_long_48k.wav", TONE(48000, 25));
    opened o;
    decode(path, &o);
    ASSERT_EQ(o.all_rc, 0) << g_err;
    ASSERT_EQ(o.frames, 1200000);
    // The tail is the tone, not left-over memory.
    int peak = 0;
    for (int64_t i = 1190000; i < 1200000; i++) peak = std::max(peak, std::abs(static_cast<int>(o.pcm.get()[i])));
    EXPECT_GT(peak, 8000);
}

TEST(PcmCollect, GathersBlocksInOrderAndStopsAtItsLimit) {
    std::vector<int16_t> in(2 * 300000);
    for (size_t i = 0; i < in.size(); i++) in[i] = static_cast<int16_t>(i * 7);
    pcm_collector c;
    c.channels = 2;
    // Many small blocks, then one larger than everything before it.
    for (int64_t at = 0; at < 1000; at += 10) ASSERT_EQ(pcm_collect(&c, in.data() + at * 2, 10), 0);
    ASSERT_EQ(pcm_collect(&c, in.data() + 2000, 299000), 0) << g_err;
    ASSERT_EQ(c.frames, 300000);
    EXPECT_GE(c.capacity, c.frames);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), c.pcm.get()));

    pcm_collector small;
    small.channels = 2;
    small.limit = 1000 * 4;  // bytes of 1000 stereo frames
    ASSERT_EQ(pcm_collect(&small, in.data(), 600), 0);
    EXPECT_LE(small.capacity, 1000);
    EXPECT_EQ(pcm_collect(&small, in.data() + 1200, 600), -1);
    EXPECT_NE(std::string(g_err).find("AE_MAX_DECODED_MB"), std::string::npos) << g_err;
    EXPECT_EQ(small.frames, 600);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 1200, small.pcm.get()));
    ASSERT_EQ(pcm_collect(&small, in.data() + 1200, 400), 0);  // up to the limit itself
    EXPECT_EQ(small.frames, 1000);
}

TEST(PcmGrowTo, FailureKeepsTheBlockAndReportsTheSize) {
    pcm_ptr pcm;
    int64_t cap = 0;
    ASSERT_EQ(pcm_grow_to(pcm, &cap, 100, 1, nullptr), 0);
    pcm.get()[99] = 42;
    int16_t* before = pcm.get();
    double bytes = 0;
    int64_t huge = int64_t(1) << 50;  // 2^50 frames of 8 channels: no allocator can give that
    EXPECT_EQ(pcm_grow_to(pcm, &cap, huge, 8, &bytes), -1);
    EXPECT_EQ(cap, 100);
    EXPECT_EQ(pcm.get(), before);
    EXPECT_EQ(pcm.get()[99], 42);
    EXPECT_EQ(bytes, static_cast<double>(huge) * 8 * 2);
}
