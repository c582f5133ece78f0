"""python3 -m audioenhancer batch INDIR OUTDIR [--scheduler tcp://HOST:8786] [options]

Enhances every audio file of INDIR into OUTDIR on a Dask cluster: the one
running at --scheduler, or else a local one with one worker process per
core (--jobs N for N). Prints the summary as JSON on stdout and its totals
on stderr. Exit status: 0 ok, 1 the batch failed, 2 usage error, 3 some
files failed.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import sys
from typing import Any, Dict, List, Optional

from audioenhancer import _lists

EQ_PRESETS = (*_lists.EQ_PRESETS, _lists.EQ_OFF)


def _denoise(text: str) -> int:
    if not text.isdigit() or not 0 <= int(text) <= 10:
        raise argparse.ArgumentTypeError(f"takes a whole number from 0 to 10, not {text!r}")
    return int(text)


def _target(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not -70.0 <= value <= 0.0:
        raise argparse.ArgumentTypeError(f"takes a loudness from -70 to 0 LUFS, not {text!r}")
    return value


def _count(text: str) -> int:
    if not text.isdigit():
        raise argparse.ArgumentTypeError(f"takes a whole number, 0 for one per core, not {text!r}")
    return int(text)


def _options_doc(text: str) -> Dict[str, Any]:
    try:
        doc = json.loads(text)
    except ValueError:
        doc = None
    if not isinstance(doc, dict):
        raise argparse.ArgumentTypeError("takes a JSON object, such as '{\"denoise\":3}'")
    return doc


def _parser() -> "tuple[argparse.ArgumentParser, argparse.ArgumentParser]":
    parser = argparse.ArgumentParser(prog="python3 -m audioenhancer",
                                     description="Batch enhancement over a Dask cluster.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    cmd = commands.add_parser(
        "batch", help="enhance every audio file of a directory",
        description="Enhances every audio file of INDIR into OUTDIR, one Dask task per file. "
        "INDIR and OUTDIR must be at the same paths on every worker.",
        epilog="examples:\n"
        "  python3 -m audioenhancer batch raw/ done/ --denoise 3\n"
        "  python3 -m audioenhancer batch /shared/raw /shared/done --scheduler tcp://10.0.0.5:8786",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    cmd.add_argument("indir")
    cmd.add_argument("outdir")
    cmd.add_argument("--scheduler", metavar="ADDRESS",
                     help="a running Dask scheduler, such as tcp://HOST:8786 (default: a local cluster)")
    cmd.add_argument("--jobs", type=_count, metavar="N",
                     help="worker processes of the local cluster; 0 or absent: one per core")
    cmd.add_argument("--denoise", type=_denoise, metavar="N",
                     help="RNNoise strength 0..10; 8..10 add spectral denoise (default 0, off)")
    cmd.add_argument("--no-loudnorm", action="store_true", help="skip the loudness normalisation")
    cmd.add_argument("--target", type=_target, metavar="LUFS",
                     help="integrated loudness target, -70..0; -5 is the loudest, higher "
                          "targets level to -5 (default -14)")
    cmd.add_argument("--repair-clicks", action="store_true", help="remove clicks and pops")
    cmd.add_argument("--eq", choices=EQ_PRESETS, metavar="PRESET",
                     help=f"{', '.join(_lists.EQ_PRESETS)} or {_lists.EQ_OFF} (default {_lists.EQ_OFF})")
    cmd.add_argument("--normalize-peak", action="store_true",
                     help="lift the true peak to -0.1 dBTP before levelling")
    cmd.add_argument("--options", type=_options_doc, metavar="JSON",
                     help="a whole options document instead of the flags above")
    cmd.add_argument("--pretty", action="store_true", help="indent the JSON summary")
    return parser, cmd


def _options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Dict[str, Any]:
    flags: Dict[str, Any] = {}
    if args.denoise is not None:
        flags["denoise"] = args.denoise
    if args.no_loudnorm:
        flags["loudnorm"] = False
    if args.target is not None:
        flags["target_lufs"] = args.target
    if args.repair_clicks:
        flags["repair_clicks"] = True
    if args.eq is not None:
        flags["eq"] = args.eq
    if args.normalize_peak:
        flags["normalize_peak"] = True
    if args.options is None:
        return flags
    if flags:
        parser.error("--options cannot be combined with other option flags")
    return dict(args.options)


def main(argv: Optional[List[str]] = None) -> int:
    main_parser, parser = _parser()
    args = main_parser.parse_args(argv)
    options = _options(args, parser)
    if args.scheduler and args.jobs is not None:
        parser.error("--jobs sets the local cluster's workers; with --scheduler the cluster decides")
    if not os.path.isdir(args.indir):
        parser.error(f"no such directory: {args.indir}")

    import distributed

    import audioenhancer
    import audioenhancer.cluster

    try:
        audioenhancer._options_arg(options, {}, audioenhancer.BATCH_OPTION_NAMES)
    except TypeError as exc:
        parser.error(str(exc))
    # Workers elsewhere resolve relative paths against their own directory.
    indir, outdir = os.path.abspath(args.indir), os.path.abspath(args.outdir)
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            try:
                client = stack.enter_context(distributed.Client(args.scheduler))
            except (OSError, ValueError) as exc:
                print(f"audioenhancer: cannot reach the scheduler {args.scheduler}: {exc}", file=sys.stderr)
                return 1
        else:
            cluster = stack.enter_context(distributed.LocalCluster(
                n_workers=args.jobs or os.cpu_count() or 1, threads_per_worker=1,
                host="127.0.0.1", dashboard_address=None))
            client = stack.enter_context(distributed.Client(cluster))
        live = sys.stderr.isatty()
        try:
            # Dask's bar writes to stdout, which carries the summary.
            with contextlib.redirect_stdout(sys.stderr):
                summary = audioenhancer.cluster.batch(client, indir, outdir, options, progress=live)
        except audioenhancer.AudioEnhancerError as exc:
            print(f"audioenhancer: {exc.message}", file=sys.stderr)
            if exc.summary is not None:
                print(json.dumps(exc.summary, indent=2 if args.pretty else None, ensure_ascii=False))
            return 1
    print(json.dumps(summary, indent=2 if args.pretty else None, ensure_ascii=False))
    print(f"{summary['processed']} processed, {summary['failed']} failed, {summary['skipped']} skipped, "
          f"{summary['total_mb']:.2f} MB", file=sys.stderr)
    return 3 if summary["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
