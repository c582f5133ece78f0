#!/usr/bin/env python3
"""Enhance with defaults against the two-pass FFmpeg loudnorm workflow.

usage: bench/enhance_bench.py BUILD_DIR [MINUTES]
"""
import json
import os
import subprocess
import sys
import time

from timing import best_of, make_recording, run

build = sys.argv[1] if len(sys.argv) > 1 else "build"
minutes = int(sys.argv[2]) if len(sys.argv) > 2 else 10
wav = make_recording(f"/tmp/ae_bench_{minutes}min.wav", minutes)
pcm_mib = (os.path.getsize(wav) - 44) / 1048576.0
cli = os.path.join(build, "audioenhancer")
LN = "loudnorm=I=-14:TP=-1.5:LRA=11"


def ffmpeg_workflow(out, codec):
    """What a user would script: analysis pass, then the linear pass."""
    start = time.monotonic()
    first = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", wav, "-af",
                            LN + ":print_format=json", "-f", "null", "-"],
                           capture_output=True, text=True, check=True).stderr
    m = json.loads(first[first.rindex("{"):first.rindex("}") + 1])
    second = (f"{LN}:measured_I={m['input_i']}:measured_TP={m['input_tp']}:"
              f"measured_LRA={m['input_lra']}:measured_thresh={m['input_thresh']}:"
              f"offset={m['target_offset']}:linear=true,aresample=44100")
    _, mem2 = run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-i", wav, "-af", second, "-ac", "2"]
                  + codec + [out])
    return time.monotonic() - start, mem2


print(f"recording: {minutes} min stereo 44.1 kHz, decoded PCM {pcm_mib:.1f} MiB")
for ext, codec in (("wav", ["-c:a", "pcm_s16le"]), ("m4a", ["-c:a", "aac", "-b:a", "192k"])):
    ours_t, ours_m = best_of([cli, "enhance", wav, f"/tmp/ae_bench_out.{ext}"], 1)
    ff_t, ff_m = ffmpeg_workflow(f"/tmp/ae_bench_ff.{ext}", codec)
    print(f"{ext}: enhance {ours_t:6.2f} s peak {ours_m:6.1f} MiB | ffmpeg two-pass "
          f"{ff_t:6.2f} s peak {ff_m:6.1f} MiB | ratio {ours_t / ff_t:.2f} (target <= 1.3)")
