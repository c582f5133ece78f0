/*
 * audioenhancer: clean up and level recordings of speech and music.
 *
 * The library decodes any input FFmpeg can read, measures its EBU R128
 * loudness, true peak and noise floor, optionally removes background noise,
 * runs one filter chain (spectral denoise, click repair, an EQ preset, peak
 * gain, two-pass loudness normalisation) and encodes the result into the
 * container chosen by the output file's extension (wav, m4a/mp4, mp3, ogg,
 * opus, flac). Every answer is compact JSON text.
 *
 * Usage:
 *
 *     const char *json = NULL;
 *     if (audioenhancer_enhance("talk.wav", "talk.m4a",
 *                               "{\"denoise\":5,\"eq\":\"podcast\"}", &json) == 0)
 *         printf("%s\n", json);
 *     else
 *         fprintf(stderr, "failed: %s\n", audioenhancer_last_error());
 *
 * Memory: every text the library returns (version, last error, result JSON)
 * lives in a buffer managed internally; the caller never frees it. A result
 * text stays valid until the next successful probe, enhance or batch call
 * (from any thread), which overwrites it: copy it if you need it longer.
 * The error text stays valid until the next probe, enhance or batch call.
 *
 * Threads: the library keeps process-wide state (the error and result
 * buffers, FFmpeg's log callback, the denoiser). Call it from one thread at
 * a time; a host with several threads serialises its calls.
 *
 * Paths are NUL-terminated byte strings passed to the file system unchanged.
 */
#ifndef AUDIOENHANCER_H
#define AUDIOENHANCER_H

#if defined(_WIN32)
#  if defined(AUDIOENHANCER_BUILD)
#    define AUDIOENHANCER_API __declspec(dllexport)
#  else
#    define AUDIOENHANCER_API __declspec(dllimport)
#  endif
#else
#  define AUDIOENHANCER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Returns the version text, such as "1.0.1 (libavformat 59.27.100, RNNoise)",
 * naming the libavformat version the library was built against.
 * Never NULL; the same address on every call; do not free.
 */
AUDIOENHANCER_API const char *audioenhancer_version(void);

/*
 * Returns the message of the last failed call, or "" when the last probe,
 * enhance or batch call set none. Never NULL; do not free. The text is
 * overwritten when the next probe, enhance or batch call begins.
 */
AUDIOENHANCER_API const char *audioenhancer_last_error(void);

/*
 * Decodes and measures one file.
 *   path      input file (required)
 *   out_json  receives the answer (required); untouched on failure
 * Returns 0, or -1 with the message in audioenhancer_last_error().
 * Answer: {"duration_s":..,"sample_rate":..,"channels":..,
 *          "loudness_lufs":..,"true_peak_db":..,"noisefloor_db":..,
 *          "codec":"..","format":".."}
 * A figure that cannot be measured (silence) reads -70.0.
 */
AUDIOENHANCER_API int audioenhancer_probe(const char *path, const char **out_json);

/*
 * Enhances one file into another; the output's extension picks the format
 * (wav, m4a, mp4, mp3, ogg, opus, flac).
 *   in_path   input file (required)
 *   out_path  output file (required); must not be the input file
 *   options   JSON options document, or NULL / "" for the defaults:
 *             {"denoise":0..10, "loudnorm":true, "target_lufs":-14.0,
 *              "repair_clicks":false, "eq":"none|podcast|music|voice",
 *              "normalize_peak":false}
 *   out_json  receives the answer (required); untouched on failure
 * Returns 0, or -1 with the message in audioenhancer_last_error().
 * Answer: {"output":..,"before_lufs":..,"after_lufs":..,"before_peak":..,
 *          "after_peak":..,"size_mb":..,"duration_s":..,"applied":[..]}
 * A failure after the output was opened may leave a partial file.
 */
AUDIOENHANCER_API int audioenhancer_enhance(const char *in_path, const char *out_path,
                                            const char *options, const char **out_json);

/*
 * Enhances every audio file of a directory (not recursive) into out_dir,
 * which is created with its parents. Accepted extensions (case-sensitive):
 * wav m4a mp4 mp3 ogg opus flac keep theirs; aac wma webm mov mkv aif aiff
 * ac3 become .m4a. At most 512 names are read from the directory.
 *   in_dir, out_dir  directories (required)
 *   options          as for audioenhancer_enhance, passed to every file
 *   out_json         receives the summary (required)
 * Returns 0 when at least one file was attempted, even if some failed;
 * -1 otherwise (the summary is still stored when no audio file was found).
 * Summary: {"files":[{"in":..,"out":..,"size_bytes":..} or
 *          {"in":..,"error":..}],"processed":..,"failed":..,"skipped":..,
 *          "total_mb":..}
 */
AUDIOENHANCER_API int audioenhancer_batch(const char *in_dir, const char *out_dir,
                                          const char *options, const char **out_json);

#ifdef __cplusplus
}
#endif

#endif /* AUDIOENHANCER_H */
