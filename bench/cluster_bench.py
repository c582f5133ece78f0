#!/usr/bin/python3
"""Wall time of audioenhancer.cluster.batch on a LocalCluster with 1 and 2
worker processes, against the library's own batch one file at a time.

usage: bench/cluster_bench.py BUILD_DIR [FILES] [MINUTES]

Needs Dask for the interpreter that runs it (Debian: python3-distributed,
hence /usr/bin/python3).
"""
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

from timing import make_recording  # noqa: E402


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    minutes = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    os.environ.setdefault("AUDIOENHANCER_LIBRARY", os.path.abspath(os.path.join(build, "libaudioenhancer.so")))

    import distributed

    import audioenhancer
    import audioenhancer.cluster

    wav = make_recording(f"/tmp/ae_bench_{minutes}min.wav", minutes)
    work = tempfile.mkdtemp(prefix="ae_cluster_bench_")
    try:
        src = os.path.join(work, "in")
        os.mkdir(src)
        for i in range(files):
            shutil.copy(wav, os.path.join(src, f"take{i}.wav"))
        print(f"{files} files of {minutes} min stereo 44.1 kHz, defaults, {os.cpu_count()} cores")

        start = time.monotonic()
        reference = audioenhancer.batch(src, os.path.join(work, "lib"), jobs=1)
        print(f"library batch, jobs=1: {time.monotonic() - start:7.2f} s")

        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, host="127.0.0.1",
                                          dashboard_address=None) as cluster, \
                    distributed.Client(cluster) as client:
                start = time.monotonic()
                summary = audioenhancer.cluster.batch(client, src, os.path.join(work, f"dask{workers}"))
                elapsed = time.monotonic() - start
            same = "same answers" if summary == reference else "ANSWERS DIFFER"
            print(f"cluster, {workers} worker{'s' if workers > 1 else ' '}:   {elapsed:7.2f} s  ({same})")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
