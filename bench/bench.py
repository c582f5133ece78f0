#!/usr/bin/env python3
"""audioenhancer against FFmpeg as users run it, on the same inputs in one run.

usage: bench/bench.py BUILD_DIR [MINUTES ...] [--repeats N] [--no-batch]

Main table: probe, enhance to WAV and enhance to M4A on speech-like stereo
44.1 kHz recordings of MINUTES each (default 3 10; add 60 for the long
point), cached in /tmp. Ours and the peer run alternately, N pairs per row
(default 3), medians reported. Then batch scaling: 8 one-minute files one
after another on one thread, then with --jobs 1, 2, 4, 8, N runs each. Only meaningful on an idle machine.
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile

from timing import make_recording, run

RATE = 44100
LN = "loudnorm=I=-14:TP=-1.5:LRA=11"
# -threads 1 before -i sets the decoder's threads, after it the encoder's
# and the filter graph's: the peer runs on one core throughout.
ONE = ["-threads", "1"]
TARGETS = {"probe": 1.00, "enhance->WAV": 0.95, "enhance->M4A": 0.85}
CODECS = {"enhance->WAV": ("wav", ["-c:a", "pcm_s16le"]),
          "enhance->M4A": ("m4a", ["-c:a", "aac", "-b:a", "192k"])}
BATCH_JOBS = (1, 2, 4, 8)
BATCH_FILES = 8
BATCH_TARGET = 1.8


def pcm_mib(minutes):
    """The recording decoded: s16 stereo."""
    return minutes * 60 * RATE * 2 * 2 / 1048576.0


def peer_probe(wav):
    return run(["ffmpeg", "-nostdin", "-v", "info"] + ONE + ["-i", wav, "-af",
               "ebur128=peak=true,astats=metadata=0"] + ONE + ["-f", "null", "-"])


def peer_enhance(wav, out, codec):
    """The two-pass loudnorm workflow: analysis, then the linear pass with the
    measured figures. Wall time of both passes, peak of the larger."""
    with tempfile.TemporaryFile() as log:
        t1, m1 = run(["ffmpeg", "-nostdin", "-hide_banner"] + ONE + ["-i", wav, "-af",
                      LN + ":print_format=json"] + ONE + ["-f", "null", "-"], stderr=log)
        log.seek(0)
        text = log.read().decode(errors="replace")
    m = json.loads(text[text.rindex("{"):text.rindex("}") + 1])
    second = (f"{LN}:measured_I={m['input_i']}:measured_TP={m['input_tp']}:"
              f"measured_LRA={m['input_lra']}:measured_thresh={m['input_thresh']}:"
              f"offset={m['target_offset']}:linear=true,aresample=44100")
    t2, m2 = run(["ffmpeg", "-nostdin", "-y", "-v", "error"] + ONE + ["-i", wav, "-af", second,
                  "-ac", "2"] + codec + ONE + [out])
    return t1 + t2, max(m1, m2)


def pairs(ours, peer, repeats):
    """Alternates ours and the peer; medians of (wall, peak) for each."""
    a, b = [], []
    for _ in range(repeats):
        a.append(ours())
        b.append(peer())

    def med(rs):
        return statistics.median(r[0] for r in rs), statistics.median(r[1] for r in rs)
    return med(a), med(b)


def yes(ok):
    return "met" if ok else "NOT MET"


def load_line(when):
    load = os.getloadavg()
    print(f"load average {when}: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} "
          f"({os.cpu_count()} cores)")
    return load[0]


def main_table(cli, minutes_list, repeats, work):
    head = (f"{'row':<13} {'min':>3} {'ours s':>7} {'ours MiB':>8} {'peer s':>7} "
            f"{'peer MiB':>8} {'ratio':>6} {'target':>7} {'time':>7} {'MiB bound':>9} {'memory':>7}")
    print(f"\nours against FFmpeg (-threads 1), medians of {repeats} alternating pairs; "
          "MiB bound = peer peak + decoded PCM")
    print(head)
    print("-" * len(head))
    results = {}
    for minutes in minutes_list:
        wav = make_recording(f"/tmp/ae_bench_{minutes}min.wav", minutes)
        for row, target in TARGETS.items():
            if row == "probe":
                ours = lambda: run([cli, "probe", wav])  # noqa: E731
                peer = lambda: peer_probe(wav)  # noqa: E731
            else:
                ext, codec = CODECS[row]
                ours = lambda: run([cli, "enhance", wav, os.path.join(work, "ours." + ext)])  # noqa: E731
                peer = lambda: peer_enhance(wav, os.path.join(work, "peer." + ext), codec)  # noqa: E731
            (ot, om), (pt, pm) = pairs(ours, peer, repeats)
            ratio = ot / pt
            bound = pm + pcm_mib(minutes)
            results[(row, minutes)] = (ot, om)
            print(f"{row:<13} {minutes:>3} {ot:7.2f} {om:8.1f} {pt:7.2f} {pm:8.1f} {ratio:6.2f} "
                  f"{'<=' + format(target, '.2f'):>7} {yes(ratio <= target):>7} {bound:9.1f} "
                  f"{yes(om <= bound):>7}", flush=True)
    return results


def linearity(results, minutes_list):
    """Cost per minute of ours at each length; growth is linear (or better)
    when the per-minute cost at a longer length stays within 10% of the
    shortest's (a fixed start-up cost only makes it fall)."""
    lengths = sorted(set(minutes_list))
    if len(lengths) < 2:
        return
    print("\nours per minute of audio (s/min, MiB/min); linear: no length above 1.10x the "
          f"{lengths[0]}-minute figure")
    print(f"{'':<13} " + " ".join(f"{str(m) + ' min':>15}" for m in lengths))
    print(f"{'row':<13} " + " ".join(f"{'s/min':>6} {'MiB/min':>8}" for _ in lengths)
          + f" {'time':>11} {'memory':>11}")
    for row in TARGETS:
        per = [(results[(row, m)][0] / m, results[(row, m)][1] / m) for m in lengths]
        t_ok = all(t <= 1.10 * per[0][0] for t, _ in per)
        m_ok = all(mm <= 1.10 * per[0][1] for _, mm in per)
        cells = " ".join(f"{t:6.3f} {mm:8.1f}" for t, mm in per)
        print(f"{row:<13} {cells} {'linear' if t_ok else 'NOT LINEAR':>11} "
              f"{'linear' if m_ok else 'NOT LINEAR':>11}")


def batch_table(cli, repeats, work):
    one = make_recording("/tmp/ae_bench_1min.wav", 1)
    src = os.path.join(work, "in")
    os.mkdir(src)
    for i in range(BATCH_FILES):
        shutil.copy(one, os.path.join(src, f"take{i}.wav"))
    # "1 core": one file after another on one thread, as batch ran before it
    # had workers; the target compares 2 jobs against it. "1" is one worker
    # whose files use the call's own threads.
    settings = [("1 core", "1", {"AE_THREADS": "1"})] + [(str(j), str(j), None) for j in BATCH_JOBS]
    runs = {name: [] for name, _, _ in settings}
    for _ in range(repeats):  # rounds over every setting, so a change of load hits them all
        for name, jobs, env in settings:
            out = os.path.join(work, "out")
            shutil.rmtree(out, ignore_errors=True)
            runs[name].append(run([cli, "batch", src, out, "--jobs", jobs], env=env))
    print(f"\nbatch of {BATCH_FILES} one-minute WAV files to WAV, defaults, medians of {repeats}")
    head = f"{'jobs':>6} {'wall s':>7} {'speedup':>7} {'peak MiB':>8}"
    print(head)
    print("-" * len(head))
    base = statistics.median(r[0] for r in runs["1 core"])
    speed = {}
    for name, _, _ in settings:
        wall = statistics.median(r[0] for r in runs[name])
        peak = statistics.median(r[1] for r in runs[name])
        speed[name] = base / wall
        print(f"{name:>6} {wall:7.2f} {speed[name]:6.2f}x {peak:8.1f}")
    print(f"2 jobs on {os.cpu_count()} cores against one file after another on one core: "
          f"{speed['2']:.2f}x, target >= {BATCH_TARGET:.1f}x: {yes(speed['2'] >= BATCH_TARGET)}; "
          f"against one worker on the call's threads: {speed['2'] / speed['1']:.2f}x")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("build")
    ap.add_argument("minutes", nargs="*", type=int, default=[3, 10])
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-batch", action="store_true")
    args = ap.parse_args()
    cli = os.path.join(args.build, "audioenhancer")
    if not os.access(cli, os.X_OK):
        sys.exit(f"no {cli}: build first")

    if load_line("at start") > 0.5:
        print("WARNING: load above 0.5, the machine is not idle: the figures below are not "
              "meaningful")
    work = tempfile.mkdtemp(prefix="ae_bench_")
    try:
        results = main_table(cli, args.minutes, args.repeats, work)
        linearity(results, args.minutes)
        if not args.no_batch:
            batch_table(cli, args.repeats, work)
    finally:
        shutil.rmtree(work)
    load_line("at end")


if __name__ == "__main__":
    main()
