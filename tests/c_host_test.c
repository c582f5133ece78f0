/* The public header compiles as C and a C host links the shared library. */
#include <stdio.h>
#include <string.h>

#include "audioenhancer.h"

int main(void) {
    const char *json = "sentinel";
    if (strncmp(audioenhancer_version(), "1.0.1 (libavformat ", 19) != 0) {
        fprintf(stderr, "version: %s\n", audioenhancer_version());
        return 1;
    }
    if (audioenhancer_last_error()[0] != '\0') return 1;
    if (audioenhancer_probe(NULL, &json) != -1 || strcmp(json, "sentinel") != 0) return 1;
    if (strcmp(audioenhancer_last_error(), "null args") != 0) return 1;
    if (audioenhancer_enhance("/nonexistent.wav", "/tmp/x.wav", NULL, &json) != -1) return 1;
    if (strcmp(audioenhancer_last_error(), "file not found: /nonexistent.wav") != 0) return 1;
    return 0;
}
