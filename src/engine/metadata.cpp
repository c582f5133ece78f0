#include "engine/metadata.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/base64.h>
#include <libavutil/mathematics.h>
}

#include "base/error.h"
#include "engine/owners.h"

namespace {

struct dict_owner {
    AVDictionary* d = nullptr;
    ~dict_owner() { av_dict_free(&d); }
};

bool has_prefix(const char* s, const char* prefix) {
    return !av_strncasecmp(s, prefix, std::strlen(prefix));
}

// Copies src's tags into *dst, skipping the dropped ones; existing keys win.
int copy_tags(AVDictionary** dst, const AVDictionary* src) {
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(src, "", e, AV_DICT_IGNORE_SUFFIX))) {
        if (metadata_tag_dropped(e->key)) continue;
        if (av_dict_set(dst, e->key, e->value, AV_DICT_DONT_OVERWRITE) < 0) return -1;
    }
    return 0;
}

// The audio stream the decoder reads (the same choice as decode_open).
const AVStream* audio_stream(const AVFormatContext* source) {
    // av_find_best_stream only reads the context; its signature predates const.
    int i = av_find_best_stream(const_cast<AVFormatContext*>(source), AVMEDIA_TYPE_AUDIO, -1, -1,
                                nullptr, 0);
    return i >= 0 ? source->streams[i] : nullptr;
}

// The input's front cover: a JPEG or PNG attached picture, the one marked
// "Cover (front)" first. -1 when there is none.
int find_cover(const AVFormatContext* source) {
    int found = -1;
    for (unsigned i = 0; i < source->nb_streams; i++) {
        const AVStream* st = source->streams[i];
        AVCodecID id = st->codecpar->codec_id;
        if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC) || st->attached_pic.size <= 0 ||
            (id != AV_CODEC_ID_MJPEG && id != AV_CODEC_ID_PNG))
            continue;
        const AVDictionaryEntry* c = av_dict_get(st->metadata, "comment", nullptr, 0);
        if (c && !std::strcmp(c->value, "Cover (front)")) return static_cast<int>(i);
        if (found < 0) found = static_cast<int>(i);
    }
    return found;
}

bool valid_chapter(const AVChapter* c) {
    return c->time_base.num > 0 && c->time_base.den > 0 && c->start != AV_NOPTS_VALUE &&
           c->start >= 0;
}

// Chapters as the muxer's own (ID3v2 CHAP, MP4 chapter track).
int copy_chapters(AVFormatContext* oc, const AVFormatContext* source) {
    if (!source->nb_chapters) return 0;
    oc->chapters = static_cast<AVChapter**>(av_calloc(source->nb_chapters, sizeof(AVChapter*)));
    if (!oc->chapters) return -1;
    for (unsigned i = 0; i < source->nb_chapters; i++) {
        const AVChapter* in = source->chapters[i];
        if (!valid_chapter(in)) continue;
        AVChapter* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out) return -1;
        oc->chapters[oc->nb_chapters++] = out;  // owned by oc from here on
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = in->start;
        out->end = in->end == AV_NOPTS_VALUE || in->end < in->start ? in->start : in->end;
        if (av_dict_copy(&out->metadata, in->metadata, 0) < 0) return -1;
    }
    return 0;
}

// Chapters as CHAPTERnnn=HH:MM:SS.mmm and CHAPTERnnnNAME=title comments,
// the form FFmpeg's Ogg and FLAC demuxers read back.
int chapter_comments(AVDictionary** tags, const AVFormatContext* source) {
    int n = 0;
    for (unsigned i = 0; i < source->nb_chapters && n < 1000; i++) {
        const AVChapter* c = source->chapters[i];
        if (!valid_chapter(c)) continue;
        int64_t ms = av_rescale_q(c->start, c->time_base, AVRational{1, 1000});
        char key[32], when[48];
        std::snprintf(key, sizeof key, "CHAPTER%03d", n);
        std::snprintf(when, sizeof when, "%02lld:%02d:%02d.%03d",
                      static_cast<long long>(ms / 3600000), static_cast<int>(ms / 60000 % 60),
                      static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
        if (av_dict_set(tags, key, when, 0) < 0) return -1;
        const AVDictionaryEntry* title = av_dict_get(c->metadata, "title", nullptr, 0);
        if (title) {
            std::snprintf(key, sizeof key, "CHAPTER%03dNAME", n);
            if (av_dict_set(tags, key, title->value, 0) < 0) return -1;
        }
        n++;
    }
    return 0;
}

void put_be32(std::string* s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s->push_back(static_cast<char>((v >> shift) & 0xFF));
}

// The cover as a FLAC picture block in base64, the Vorbis-comment way of
// carrying one (METADATA_BLOCK_PICTURE).
int picture_comment(AVDictionary** tags, const AVStream* pic) {
    const int max_picture = 16 << 20;
    if (pic->attached_pic.size > max_picture) return 0;  // not worth a header that size
    const char* mime = pic->codecpar->codec_id == AV_CODEC_ID_PNG ? "image/png" : "image/jpeg";
    const AVDictionaryEntry* title = av_dict_get(pic->metadata, "title", nullptr, 0);
    const char* desc = title ? title->value : "";
    std::string block;
    put_be32(&block, 3);  // front cover
    put_be32(&block, static_cast<uint32_t>(std::strlen(mime)));
    block += mime;
    put_be32(&block, static_cast<uint32_t>(std::strlen(desc)));
    block += desc;
    put_be32(&block, static_cast<uint32_t>(pic->codecpar->width));
    put_be32(&block, static_cast<uint32_t>(pic->codecpar->height));
    put_be32(&block, 24);  // colour depth
    put_be32(&block, 0);   // not indexed
    put_be32(&block, static_cast<uint32_t>(pic->attached_pic.size));
    block.append(reinterpret_cast<const char*>(pic->attached_pic.data), pic->attached_pic.size);

    int size = AV_BASE64_SIZE(static_cast<int>(block.size()));
    heap_ptr<char> text(static_cast<char*>(std::malloc(size)));
    if (!text) return -1;
    if (!av_base64_encode(text.get(), size, reinterpret_cast<const uint8_t*>(block.data()),
                          static_cast<int>(block.size())))
        return -1;
    return av_dict_set(tags, "METADATA_BLOCK_PICTURE", text.get(), 0) < 0 ? -1 : 0;
}

int add_cover_stream(AVFormatContext* oc, const AVStream* pic) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, pic->codecpar) < 0) return -1;
    st->codecpar->codec_tag = 0;  // the input container's tag means nothing here
    st->disposition = AV_DISPOSITION_ATTACHED_PIC;
    st->time_base = AVRational{1, 90000};
    return av_dict_copy(&st->metadata, pic->metadata, 0) < 0 ? -1 : 0;
}

int carry(AVFormatContext* oc, const AVFormatContext* source, int* cover_source) {
    const char* muxer = oc->oformat->name;
    bool ogg = !std::strcmp(muxer, "ogg");
    bool vorbis_comments = ogg || !std::strcmp(muxer, "flac");
    bool muxer_chapters = !std::strcmp(muxer, "mp3") || !std::strcmp(muxer, "ipod");
    bool picture_stream = muxer_chapters || !std::strcmp(muxer, "flac");
    int pic = find_cover(source);

    dict_owner tags;
    if (copy_tags(&tags.d, source->metadata) < 0) return -1;
    if (const AVStream* a = audio_stream(source))
        if (copy_tags(&tags.d, a->metadata) < 0) return -1;
    if (vorbis_comments && chapter_comments(&tags.d, source) < 0) return -1;
    if (ogg && pic >= 0 && picture_comment(&tags.d, source->streams[pic]) < 0) return -1;
    // The Ogg muxer writes the stream's comments, the others the container's.
    AVDictionary** target = ogg ? &oc->streams[0]->metadata : &oc->metadata;
    if (av_dict_copy(target, tags.d, 0) < 0) return -1;

    if (muxer_chapters && copy_chapters(oc, source) < 0) return -1;
    if (picture_stream && pic >= 0) {
        if (add_cover_stream(oc, source->streams[pic]) < 0) return -1;
        *cover_source = pic;
    }
    return 0;
}

}  // namespace

bool metadata_tag_dropped(const char* key) {
    static const char* const exact[] = {
        "encoder",  "iTunSMPB",          "iTunNORM",     "major_brand",
        "minor_version", "compatible_brands", "handler_name", "vendor_id",
        "DURATION", "METADATA_BLOCK_PICTURE", "R128_TRACK_GAIN", "R128_ALBUM_GAIN",
    };
    for (const char* k : exact)
        if (!av_strcasecmp(key, k)) return true;
    if (has_prefix(key, "REPLAYGAIN_")) return true;
    // CHAPTERnnn comments the demuxer did not take as chapters.
    return has_prefix(key, "CHAPTER") && std::isdigit(static_cast<unsigned char>(key[7]));
}

int metadata_carry(AVFormatContext* oc, const AVFormatContext* source, int* cover_source) {
    *cover_source = -1;
    if (!source) return 0;
    if (carry(oc, source, cover_source) != 0) {
        set_err("oom");
        return -1;
    }
    return 0;
}

int metadata_write_cover(AVFormatContext* oc, const AVFormatContext* source, int cover_source) {
    if (cover_source < 0) return 0;
    packet_ptr pkt(av_packet_alloc());
    if (!pkt || av_packet_ref(pkt.get(), &source->streams[cover_source]->attached_pic) < 0) {
        set_err("oom");
        return -1;
    }
    pkt->stream_index = 1;
    pkt->pts = pkt->dts = 0;
    pkt->flags |= AV_PKT_FLAG_KEY;
    // Straight to the muxer, before any audio: mp3 and flac hold audio back
    // until the picture has arrived.
    if (av_write_frame(oc, pkt.get()) < 0) {
        set_err("write_frame failed");
        return -1;
    }
    return 0;
}
