/* The public header compiles as C and a C host links the shared library.
 * The host's stderr must stay empty: the library prints nothing of its own
 * or of FFmpeg's unless AE_DEBUG asks (CTest fails the run on any output). */
#include <stdio.h>
#include <string.h>

#include "audioenhancer.h"

#define RATE 44100
#define CHANNELS 2

static unsigned g_seed = 12345u;

static unsigned next_random(void) {
    g_seed = g_seed * 1103515245u + 12345u;
    return g_seed >> 16;
}

static void put_le(FILE *f, unsigned v, int bytes) {
    for (int i = 0; i < bytes; i++) fputc((int)((v >> (8 * i)) & 0xFF), f);
}

/* A 16-bit WAV whose header declares `declared` frames, holding `present`. */
static int write_wav(const char *path, unsigned declared, unsigned present) {
    FILE *f = fopen(path, "wb");
    if (!f) return -1;
    unsigned data = declared * CHANNELS * 2;
    fwrite("RIFF", 1, 4, f);
    put_le(f, 36 + data, 4);
    fwrite("WAVEfmt ", 1, 8, f);
    put_le(f, 16, 4);
    put_le(f, 1, 2);
    put_le(f, CHANNELS, 2);
    put_le(f, RATE, 4);
    put_le(f, RATE * CHANNELS * 2, 4);
    put_le(f, CHANNELS * 2, 2);
    put_le(f, 16, 2);
    fwrite("data", 1, 4, f);
    put_le(f, data, 4);
    for (unsigned i = 0; i < present * CHANNELS; i++) put_le(f, next_random() % 12000 - 6000, 2);
    return fclose(f) == 0 ? 0 : -1;
}

/* The first `keep` bytes of one file in another, or `keep` random bytes
 * when from is NULL. */
static int write_cut(const char *from, const char *to, long keep) {
    FILE *in = from ? fopen(from, "rb") : NULL;
    FILE *out = fopen(to, "wb");
    if ((from && !in) || !out) return -1;
    for (long i = 0; i < keep; i++) {
        int c = in ? fgetc(in) : (int)(next_random() & 0xFF);
        if (c == EOF) break;
        fputc(c, out);
    }
    if (in) fclose(in);
    return fclose(out) == 0 ? 0 : -1;
}

static long file_size(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

int main(void) {
    const char *json = "sentinel";
    if (strncmp(audioenhancer_version(), "1.0.1 (libavformat ", 19) != 0) return 1;
    if (audioenhancer_last_error()[0] != '\0') return 2;
    if (audioenhancer_probe(NULL, &json) != -1 || strcmp(json, "sentinel") != 0) return 3;
    if (strcmp(audioenhancer_last_error(), "null args") != 0) return 4;
    if (audioenhancer_enhance("/nonexistent.wav", "/tmp/x.wav", NULL, &json) != -1) return 5;
    if (strcmp(audioenhancer_last_error(), "file not found: /nonexistent.wav") != 0) return 6;

    /* Garbage, truncated and good files: FFmpeg has plenty to say about the
     * first two, none of which may reach this process's stderr. */
    if (write_wav("c_host_good.wav", 2 * RATE, 2 * RATE) != 0 ||
        write_wav("c_host_cut.wav", 2 * RATE, RATE / 2) != 0 ||
        write_cut(NULL, "c_host_garbage.mp3", 3000) != 0)
        return 7;
    if (audioenhancer_enhance("c_host_good.wav", "c_host_good.mp3", NULL, &json) != 0) return 8;
    if (write_cut("c_host_good.mp3", "c_host_cut.mp3", file_size("c_host_good.mp3") / 3) != 0)
        return 9;
    if (audioenhancer_probe("c_host_garbage.mp3", &json) != -1) return 10;
    if (audioenhancer_last_error()[0] == '\0') return 11;
    (void)audioenhancer_probe("c_host_cut.mp3", &json);
    (void)audioenhancer_probe("c_host_cut.wav", &json);
    if (audioenhancer_probe("c_host_good.wav", &json) != 0) return 12;
    (void)audioenhancer_enhance("c_host_cut.mp3", "c_host_out.wav", NULL, &json);
    (void)audioenhancer_enhance("c_host_cut.wav", "c_host_out.m4a", NULL, &json);
    if (audioenhancer_enhance("c_host_garbage.mp3", "c_host_out.flac", NULL, &json) != -1)
        return 13;
    return 0;
}
