#!/usr/bin/env python3
"""Probe of a 10-minute stereo 44.1 kHz WAV against FFmpeg's own analysis.

usage: bench/probe_bench.py BUILD_DIR [MINUTES]
"""
import os
import sys

from timing import best_of, make_recording

build = sys.argv[1] if len(sys.argv) > 1 else "build"
minutes = int(sys.argv[2]) if len(sys.argv) > 2 else 10
wav = make_recording(f"/tmp/ae_bench_{minutes}min.wav", minutes)
pcm_mib = (os.path.getsize(wav) - 44) / 1048576.0

ours_t, ours_m = best_of([os.path.join(build, "audioenhancer"), "probe", wav], 3)
ff_t, ff_m = best_of(["ffmpeg", "-nostdin", "-v", "info", "-i", wav, "-af",
                      "ebur128=peak=true,astats=metadata=0", "-f", "null", "-"], 3)
print(f"recording: {minutes} min stereo 44.1 kHz, decoded PCM {pcm_mib:.1f} MiB")
print(f"probe : {ours_t:6.2f} s  peak {ours_m:7.1f} MiB")
print(f"ffmpeg: {ff_t:6.2f} s  peak {ff_m:7.1f} MiB")
print(f"ratio : {ours_t / ff_t:.2f} (target <= 1.10); memory {ours_m / pcm_mib:.2f} x PCM "
      f"(target <= 2.5)")
