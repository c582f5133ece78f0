#!/usr/bin/env python3
"""audioenhancer against FFmpeg as users run it, on the same inputs in one run.

usage: bench/bench.py BUILD_DIR [MINUTES ...] [--repeats N] [--no-batch]
       bench/bench.py --peer IN OUT TARGET   (the peer's workflow on one file)

Main table: probe, and enhance to WAV and to M4A at the default -14 LUFS
(where the peaks of this speech need the limiter) and at -23 LUFS (the EBU
broadcast target, where it stays linear), on stereo 44.1 kHz speech of
MINUTES each (default 3 10; add 60 for the long point), cached in /tmp. Ours
(threads, and AE_THREADS=1) and the peer run alternately, N rounds per row
(default 3), medians reported: wall time, CPU time (user + sys) and peak
memory. Then the batch: 8 one-minute files at default jobs against the
peer's workflow run two files at a time (xargs -P 2), and ours at 1, 2, 4
and 8 jobs. Only meaningful on an idle machine.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from timing import make_speech, run

RATE = 44100
# -threads 1 before -i sets the decoder's threads, after it the encoder's
# and the filter graph's: the peer runs on one core throughout.
ONE = ["-threads", "1"]
# row: (extension, target LUFS, wall bound, CPU bound), ratios ours / peer;
# every enhance row also holds ours on one thread to 0.8 of the peer's wall
# time (probe runs the peer's own two filters: on one thread it can only tie).
ROWS = {"probe": (None, None, 1.00, None),
        "-14 ->WAV": ("wav", -14, 0.50, 0.60),
        "-14 ->M4A": ("m4a", -14, 0.60, None),
        "-23 ->WAV": ("wav", -23, 0.30, 0.45),
        "-23 ->M4A": ("m4a", -23, 0.80, None)}
ONE_THREAD_BOUND = 0.80
CODECS = {"wav": ["-c:a", "pcm_s16le"], "m4a": ["-c:a", "aac", "-b:a", "192k"]}
BATCH_JOBS = (1, 2, 4, 8)
BATCH_FILES = 8
BATCH_BOUND = 0.65


def pcm_mib(minutes):
    """The recording decoded: s16 stereo."""
    return minutes * 60 * RATE * 2 * 2 / 1048576.0


def peer_probe(wav):
    return run(["ffmpeg", "-nostdin", "-v", "info"] + ONE + ["-i", wav, "-af",
               "ebur128=peak=true,astats=metadata=0"] + ONE + ["-f", "null", "-"])


def peer_enhance(wav, out, target):
    """The two-pass loudnorm workflow: analysis, then the measured pass with
    the report's figures. Wall and CPU of both passes, peak of the larger."""
    ln = f"loudnorm=I={target}:TP=-1.5:LRA=11"
    codec = CODECS[os.path.splitext(out)[1][1:]]
    with tempfile.TemporaryFile() as log:
        t1, m1, c1 = run(["ffmpeg", "-nostdin", "-hide_banner"] + ONE + ["-i", wav, "-af",
                          ln + ":print_format=json"] + ONE + ["-f", "null", "-"], stderr=log)
        log.seek(0)
        text = log.read().decode(errors="replace")
    m = json.loads(text[text.rindex("{"):text.rindex("}") + 1])
    second = (f"{ln}:measured_I={m['input_i']}:measured_TP={m['input_tp']}:"
              f"measured_LRA={m['input_lra']}:measured_thresh={m['input_thresh']}:"
              f"offset={m['target_offset']}:linear=true,aresample={RATE}")
    t2, m2, c2 = run(["ffmpeg", "-nostdin", "-y", "-v", "error"] + ONE + ["-i", wav, "-af", second,
                      "-ac", "2"] + codec + ONE + [out])
    return t1 + t2, max(m1, m2), c1 + c2


def rounds(runners, repeats):
    """Runs each runner once per round, alternating; medians of each figure."""
    got = [[] for _ in runners]
    for _ in range(repeats):
        for i, r in enumerate(runners):
            got[i].append(r())
    return [tuple(statistics.median(x[k] for x in g) for k in range(3)) for g in got]


def yes(ok):
    return "met" if ok else "NOT MET"


def load_line(when):
    load = os.getloadavg()
    print(f"load average {when}: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} "
          f"({os.cpu_count()} cores)")
    return load[0]


def main_table(cli, minutes_list, repeats, work):
    head = (f"{'row':<10} {'min':>3} {'ours s':>7} {'cpu s':>6} {'MiB':>6} {'1thr s':>7} "
            f"{'peer s':>7} {'cpu s':>6} {'MiB':>6} {'wall':>5} {'bound':>5} {'cpu':>5} "
            f"{'bound':>5} {'1thr':>5} {'MiB bound':>9}  verdict")
    print(f"\nours against FFmpeg (-threads 1), medians of {repeats} rounds; ratios ours/peer; "
          "1thr = ours with AE_THREADS=1 (bound 0.80); MiB bound = peer peak + decoded PCM")
    print(head)
    print("-" * len(head))
    results = {}
    for minutes in minutes_list:
        wav = make_speech(f"/tmp/ae_bench_speech_{minutes}min.wav", minutes)
        for row, (ext, target, wall_bound, cpu_bound) in ROWS.items():
            if ext is None:
                ours = [cli, "probe", wav]
                peer = lambda: peer_probe(wav)  # noqa: E731
            else:
                ours = [cli, "enhance", wav, os.path.join(work, "ours." + ext),
                        "--target", str(target)]
                peer = lambda: peer_enhance(wav, os.path.join(work, "peer." + ext), target)  # noqa: E731,E501
            (ot, om, oc), (st, _, _), (pt, pm, pc) = rounds(
                [lambda: run(ours), lambda: run(ours, env={"AE_THREADS": "1"}), peer], repeats)
            wall, cpu, single = ot / pt, oc / pc, st / pt
            bound = pm + pcm_mib(minutes)
            ok = (wall <= wall_bound and (cpu_bound is None or cpu <= cpu_bound)
                  and (ext is None or single <= ONE_THREAD_BOUND) and om <= bound)
            results[(row, minutes)] = (ot, om)
            print(f"{row:<10} {minutes:>3} {ot:7.2f} {oc:6.2f} {om:6.1f} {st:7.2f} {pt:7.2f} "
                  f"{pc:6.2f} {pm:6.1f} {wall:5.2f} {wall_bound:5.2f} {cpu:5.2f} "
                  f"{cpu_bound if cpu_bound else '':>5} {single:5.2f} {bound:9.1f}  {yes(ok)}",
                  flush=True)
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
    for row in ROWS:
        per = [(results[(row, m)][0] / m, results[(row, m)][1] / m) for m in lengths]
        t_ok = all(t <= 1.10 * per[0][0] for t, _ in per)
        m_ok = all(mm <= 1.10 * per[0][1] for _, mm in per)
        cells = " ".join(f"{t:6.3f} {mm:8.1f}" for t, mm in per)
        print(f"{row:<13} {cells} {'linear' if t_ok else 'NOT LINEAR':>11} "
              f"{'linear' if m_ok else 'NOT LINEAR':>11}")


def batch_table(cli, repeats, work):
    one = make_speech("/tmp/ae_bench_speech_1min.wav", 1)
    src = os.path.join(work, "in")
    os.mkdir(src)
    for i in range(BATCH_FILES):
        shutil.copy(one, os.path.join(src, f"take{i}.wav"))
    out = os.path.join(work, "out")
    peer_out = os.path.join(work, "peer")
    os.mkdir(peer_out)
    me = os.path.abspath(__file__)
    # The peer's workflow on every file, two files at a time.
    peer_cmd = ["sh", "-c", f"ls '{src}' | xargs -P 2 -I{{}} {sys.executable} '{me}' --peer "
                f"'{src}/{{}}' '{peer_out}/{{}}' -14"]

    def ours(jobs):
        shutil.rmtree(out, ignore_errors=True)
        return run([cli, "batch", src, out] + (["--jobs", str(jobs)] if jobs else []))
    runners = [lambda: run(peer_cmd), lambda: ours(None)] + [lambda j=j: ours(j)
                                                             for j in BATCH_JOBS]
    got = rounds(runners, repeats)
    print(f"\nbatch of {BATCH_FILES} one-minute speech files to WAV, defaults, medians of "
          f"{repeats} rounds, against the peer's workflow two files at a time")
    head = f"{'jobs':>7} {'wall s':>7} {'cpu s':>6} {'peak MiB':>8} {'wall/peer':>9}"
    print(head)
    print("-" * len(head))
    pt, pm, pc = got[0]
    print(f"{'peer':>7} {pt:7.2f} {pc:6.2f} {pm:8.1f}")
    for jobs, (t, m, c) in zip(("default",) + BATCH_JOBS, got[1:]):
        print(f"{jobs:>7} {t:7.2f} {c:6.2f} {m:8.1f} {t / pt:9.2f}")
    t, _, c = got[1]
    print(f"default jobs against the peer: {t / pt:.2f}x wall, {c / pc:.2f}x CPU, bound "
          f"{BATCH_BOUND:.2f}: {yes(t / pt <= BATCH_BOUND)}")


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--peer":
        peer_enhance(sys.argv[2], sys.argv[3], float(sys.argv[4]))
        return
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
