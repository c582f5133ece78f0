// Carrying an input's tags, chapters and cover picture over to the output.
//
// Tags: the container's and the audio stream's, minus those that describe
// the old encoding (see metadata_tag_dropped), end up where each muxer
// writes them: ID3v2 (mp3), iTunes atoms (ipod), Vorbis comments (ogg, flac),
// RIFF INFO (wav; only the keys RIFF INFO knows).
// Chapters: ID3v2 CHAP frames (mp3) and a chapter track (ipod) written by
// the muxers; CHAPTERnnn/CHAPTERnnnNAME comments for ogg and flac, written
// here because FFmpeg's flac and Vorbis muxers drop chapters.
// Cover: a second stream with AV_DISPOSITION_ATTACHED_PIC for mp3, ipod and
// flac; a METADATA_BLOCK_PICTURE comment for ogg (Vorbis and Opus), whose
// muxer takes no picture stream. Only JPEG and PNG covers are carried.
#pragma once

struct AVFormatContext;

// True for tags that would be wrong on the re-encoded file: the old
// encoder, the old codec's delay and padding, loudness and gain figures of
// the old audio, the old container's brand and handler, and comments that
// FFmpeg turns into chapters or a picture.
bool metadata_tag_dropped(const char* key);

// Before the header is written. oc holds exactly its one audio stream;
// source is the opened input (null: nothing to carry). Fills oc's tags and
// chapters, and adds the cover stream (index 1) where the container takes
// one; *cover_source is the input's picture stream written by
// metadata_write_cover, -1 when none. 0, or -1 with "oom".
int metadata_carry(AVFormatContext* oc, const AVFormatContext* source, int* cover_source);

// After the header: writes the cover picture into stream 1 when
// metadata_carry added one. 0, or -1 with "write_frame failed".
int metadata_write_cover(AVFormatContext* oc, const AVFormatContext* source, int cover_source);
