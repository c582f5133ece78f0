// Tags, chapters and the cover picture survive the writer, read back with
// libavformat itself.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "audioenhancer.h"
#include "engine/decoder.h"
#include "engine/encoder.h"
#include "fixtures.h"

namespace {

// One generated input and what it carries.
struct input_case {
    const char* name;
    const char* args;  // ffmpeg arguments after the shared inputs
    bool cover;
    bool chapters;
    const char* stale;  // a tag that must not reach the output
};

// Inputs 0: tone, 1: chapters (FFMETADATA), 2: a 32x32 picture.
const char* const SHARED = "-f lavfi -i sine=f=440:d=3:sample_rate=44100 -i '%s' "
                           "-f lavfi -i color=c=red:s=32x32:d=0.04 -map_metadata 1 ";
const char* const TAGS = "-metadata title='Episode 12' -metadata artist='Host Name' "
                         "-metadata album='Season 2' ";
const char* const VORBIS_CHAPTERS =
    "-metadata CHAPTER000=00:00:00.000 -metadata CHAPTER000NAME=Intro "
    "-metadata CHAPTER001=00:00:01.750 -metadata CHAPTER001NAME=Main ";

const input_case INPUTS[] = {
    {"tagged.mp3",
     "-map 0:a -map 2:v -frames:v 1 -c:v mjpeg -disposition:v attached_pic -map_chapters 1 "
     "-id3v2_version 3 -metadata iTunSMPB=' 00000000 00000840 000001C0' ",
     true, true, "iTunSMPB"},
    {"tagged.m4a",
     "-map 0:a -map 2:v -frames:v 1 -c:v png -disposition:v attached_pic -map_chapters 1 ", true,
     true, nullptr},
    {"tagged.flac",
     "-map 0:a -map 2:v -frames:v 1 -c:v png -disposition:v attached_pic "
     "-metadata REPLAYGAIN_TRACK_GAIN='-3.20 dB' ",
     true, true, "REPLAYGAIN_TRACK_GAIN"},
    {"tagged.ogg", "-map 0:a -c:a libvorbis -metadata REPLAYGAIN_TRACK_GAIN='-3.20 dB' ", false,
     true, "REPLAYGAIN_TRACK_GAIN"},
    {"tagged.wav", "-map 0:a ", false, false, nullptr},
};

const char* const OUTPUT_EXTS[] = {"m4a", "mp3", "flac", "ogg", "opus", "wav"};

std::string make_input(const input_case& in) {
    std::string meta = fixture_dir() + "/chapters.ffmeta";
    write_file(meta,
               ";FFMETADATA1\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1750\ntitle=Intro\n"
               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1750\nEND=3000\ntitle=Main\n");
    char shared[512];
    std::snprintf(shared, sizeof shared, SHARED, meta.c_str());
    std::string args = std::string(shared) + TAGS + in.args;
    if (in.chapters && !std::strstr(in.args, "map_chapters")) args += VORBIS_CHAPTERS;
    return ffmpeg_fixture(in.name, args);
}

struct opened {
    AVFormatContext* ctx = nullptr;
    ~opened() { avformat_close_input(&ctx); }
};

bool open_file(const std::string& path, opened* o) {
    return avformat_open_input(&o->ctx, path.c_str(), nullptr, nullptr) == 0 &&
           avformat_find_stream_info(o->ctx, nullptr) >= 0;
}

// A tag from the container, else from the first audio stream (Ogg keeps
// its comments there).
std::string tag(const AVFormatContext* c, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(c->metadata, key, nullptr, 0);
    for (unsigned i = 0; !e && i < c->nb_streams; i++)
        if (c->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            e = av_dict_get(c->streams[i]->metadata, key, nullptr, 0);
    return e ? e->value : "";
}

const AVStream* cover_of(const AVFormatContext* c) {
    for (unsigned i = 0; i < c->nb_streams; i++)
        if (c->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) return c->streams[i];
    return nullptr;
}

int64_t ms(const AVChapter* ch, int64_t t) {
    return av_rescale_q(t, ch->time_base, AVRational{1, 1000});
}

// Decodes in, writes it to out with in as the source.
void rewrite(const std::string& in, const std::string& out) {
    decoder_state src, st;
    ASSERT_EQ(decode_open(&src, in.c_str()), 0) << g_err;
    ASSERT_EQ(decode_open(&st, in.c_str()), 0) << g_err;
    pcm_ptr pcm;
    int64_t frames = 0;
    ASSERT_EQ(decode_all(&st, settings_from_env(), &pcm, &frames), 0) << g_err;
    ASSERT_EQ(encode_file(out.c_str(), pcm.get(), frames, st.sample_rate, st.channels,
                          src.fmt.get()),
              0)
        << out << ": " << g_err;
}

// Every input to every output: what the input has and the output can hold
// comes back, and nothing else changes shape.
void check_round_trip(const input_case& in_case, const std::string& in, const std::string& out,
                      const char* ext) {
    opened a, b;
    ASSERT_TRUE(open_file(in, &a));
    ASSERT_TRUE(open_file(out, &b)) << out;
    std::string what = std::string(in_case.name) + " -> " + ext;
    bool is_wav = !std::strcmp(ext, "wav");

    EXPECT_EQ(tag(b.ctx, "title"), "Episode 12") << what;
    EXPECT_EQ(tag(b.ctx, "artist"), "Host Name") << what;
    EXPECT_EQ(tag(b.ctx, "album"), "Season 2") << what;
    if (in_case.stale) {
        ASSERT_NE(tag(a.ctx, in_case.stale), "") << "fixture lacks " << in_case.stale;
        EXPECT_EQ(tag(b.ctx, in_case.stale), "") << what;
    }
    // The enhanced audio is the only audio stream, and the first.
    ASSERT_GE(b.ctx->nb_streams, 1u);
    EXPECT_EQ(b.ctx->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO) << what;
    int audio = 0;
    for (unsigned i = 0; i < b.ctx->nb_streams; i++)
        audio += b.ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    EXPECT_EQ(audio, 1) << what;

    const AVStream* pic_in = cover_of(a.ctx);
    const AVStream* pic_out = cover_of(b.ctx);
    ASSERT_EQ(pic_in != nullptr, in_case.cover) << "fixture " << in_case.name;
    if (in_case.cover && !is_wav) {
        ASSERT_NE(pic_out, nullptr) << what;
        EXPECT_EQ(pic_out->codecpar->codec_id, pic_in->codecpar->codec_id) << what;
        ASSERT_EQ(pic_out->attached_pic.size, pic_in->attached_pic.size) << what;
        EXPECT_EQ(memcmp(pic_out->attached_pic.data, pic_in->attached_pic.data,
                         pic_in->attached_pic.size),
                  0)
            << what;
    } else {
        EXPECT_EQ(pic_out, nullptr) << what;
    }

    ASSERT_EQ(a.ctx->nb_chapters, in_case.chapters ? 2u : 0u) << "fixture " << in_case.name;
    if (is_wav) {
        EXPECT_EQ(b.ctx->nb_chapters, 0u) << what;
        return;
    }
    ASSERT_EQ(b.ctx->nb_chapters, a.ctx->nb_chapters) << what;
    for (unsigned i = 0; i < a.ctx->nb_chapters; i++) {
        const AVChapter* x = a.ctx->chapters[i];
        const AVChapter* y = b.ctx->chapters[i];
        EXPECT_NEAR(ms(y, y->start), ms(x, x->start), 1) << what << " chapter " << i;
        // ID3v2 and MP4 store where a chapter ends; Vorbis comments only starts.
        if (!std::strcmp(ext, "mp3") || !std::strcmp(ext, "m4a")) {
            EXPECT_NEAR(ms(y, y->end), ms(x, x->end), 1) << what << " chapter " << i;
        }
        const AVDictionaryEntry* tx = av_dict_get(x->metadata, "title", nullptr, 0);
        const AVDictionaryEntry* ty = av_dict_get(y->metadata, "title", nullptr, 0);
        ASSERT_NE(tx, nullptr);
        ASSERT_NE(ty, nullptr) << what;
        EXPECT_STREQ(ty->value, tx->value) << what;
    }
}

}  // namespace

TEST(MetadataRoundTrip, EveryInputToEveryOutput) {
    std::string dir = scratch_dir("meta_matrix");
    for (const input_case& in_case : INPUTS) {
        std::string in = make_input(in_case);
        for (const char* ext : OUTPUT_EXTS) {
            std::string out = dir + "/" + in_case.name + "." + ext;
            rewrite(in, out);
            check_round_trip(in_case, in, out, ext);
        }
    }
}

TEST(MetadataRoundTrip, CoverWithoutTagsOrChaptersAndNoSource) {
    // A picture-only input still gets its cover across; without a source the
    // output holds nothing but the audio and the muxer's own encoder tag.
    std::string in = ffmpeg_fixture(
        "cover_only.mp3",
        "-f lavfi -i sine=d=1 -f lavfi -i color=c=blue:s=16x16:d=0.04 -map 0:a -map 1:v -frames:v 1 "
        "-c:v mjpeg -disposition:v attached_pic -map_metadata -1");
    std::string dir = scratch_dir("meta_cover");
    rewrite(in, dir + "/c.m4a");
    opened o;
    ASSERT_TRUE(open_file(dir + "/c.m4a", &o));
    ASSERT_NE(cover_of(o.ctx), nullptr);
    EXPECT_EQ(o.ctx->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(tag(o.ctx, "title"), "");

    decoded_file d;
    ASSERT_TRUE(decode_file(in, &d));
    ASSERT_EQ(encode_file((dir + "/n.mp3").c_str(), d.pcm.get(), d.frames, d.sample_rate,
                          d.channels),
              0);
    opened n;
    ASSERT_TRUE(open_file(dir + "/n.mp3", &n));
    EXPECT_EQ(n.ctx->nb_streams, 1u);
    EXPECT_EQ(n.ctx->nb_chapters, 0u);
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(n.ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        EXPECT_STREQ(e->key, "encoder");
}
TEST(MetadataEnhance, TheWholeCallCarriesTagsCoverAndChapters) {
    // Through the public call: the podcast case, and a FLAC archive to Opus.
    std::string dir = scratch_dir("meta_enhance");
    const struct {
        const input_case& in;
        const char* ext;
    } cases[] = {{INPUTS[0], "m4a"}, {INPUTS[2], "opus"}, {INPUTS[1], "mp3"}};
    for (const auto& c : cases) {
        std::string in = make_input(c.in);
        std::string out = dir + "/episode." + c.ext;
        const char* json = nullptr;
        ASSERT_EQ(audioenhancer_enhance(in.c_str(), out.c_str(), "{\"eq\":\"podcast\"}", &json),
                  0)
            << audioenhancer_last_error();
        check_round_trip(c.in, in, out, c.ext);
    }
}
