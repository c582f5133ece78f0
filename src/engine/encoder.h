// Encoding a PCM buffer into the container named by the path's extension.
#pragma once
#include <cstdint>

// Writes frames of interleaved 16-bit pcm at sample_rate/channels to path.
// wav, m4a/mp4, mp3, ogg (Vorbis), opus, flac. A partial file stays on failure.
int encode_file(const char* path, const int16_t* pcm, int64_t frames, int sample_rate,
                int channels);

// Size of the file in bytes, -1 when it cannot be opened.
int64_t file_size(const char* path);
