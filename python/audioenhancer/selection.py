"""Which files a batch enhances, and under which output names.

These are the library's own batch rules, held here once for the Python hosts
that schedule files themselves (``audioenhancer.cluster``):

* a directory is read in the order the system lists it, not sorted;
* names beginning with '.' and entries that are directories, FIFOs, sockets
  or devices (links followed) are left out entirely;
* only the first 512 names that remain are kept; the rest are dropped
  without trace;
* a kept name is skipped (counted, not attempted) when it has no '.', when
  the text after its last '.' is not in :data:`EXTENSIONS` (matched
  case-sensitively), or when it no longer names a readable entry (a dangling
  link);
* the output name is the name without its last extension plus the output
  extension from :data:`EXTENSIONS`.

Names are handled as bytes, so a name that is not valid UTF-8 reaches the
library unchanged; :func:`display` gives the text the summary shows.
"""

from __future__ import annotations

import codecs
import os
import stat
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from . import _lists

#: Input extension -> output extension. Containers the writer cannot produce
#: are written as M4A.
EXTENSIONS: Dict[str, str] = {
    **{ext: ext for ext in _lists.OUTPUT_EXTENSIONS},
    **{ext: _lists.CONVERTED_TO for ext in _lists.CONVERTED},
}

#: Names held from one directory listing.
MAX_NAMES = 512

_EXT_BYTES = {k.encode(): v.encode() for k, v in EXTENSIONS.items()}

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Job(NamedTuple):
    """One file to enhance: its bare name, input path, output name and
    output path, as bytes."""

    name: bytes
    in_path: bytes
    out_name: bytes
    out_path: bytes


class ListingError(OSError):
    """The input directory is missing or cannot be listed; ``message`` is
    the library's wording for the same failure."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


def _one_per_byte(exc: UnicodeError) -> Tuple[str, int]:
    # Python's "replace" gives one U+FFFD per broken sequence; the library
    # gives one per byte that starts no well-formed sequence.
    assert isinstance(exc, UnicodeDecodeError)
    return "\ufffd", exc.start + 1


codecs.register_error("audioenhancer-fffd", _one_per_byte)


def display(raw: Union[bytes, str]) -> str:
    """The text a summary shows for a name, a path or a message, as the
    library writes it: each byte that starts no well-formed UTF-8 sequence
    becomes U+FFFD."""
    if isinstance(raw, str):
        raw = raw.encode("utf-8", "surrogateescape")
    return raw.decode("utf-8", "audioenhancer-fffd")


def output_name(name: bytes) -> Optional[bytes]:
    """The output file name for an input name, or None when the name is not
    an accepted audio name (no '.', or an extension not in the table)."""
    dot = name.rfind(b".")
    if dot < 0:
        return None
    out_ext = _EXT_BYTES.get(name[dot + 1:])
    if out_ext is None:
        return None
    base = name[:dot] if dot > 0 else name
    return base + b"." + out_ext


def _listed(path: bytes) -> bool:
    """Whether a listing entry is held: links are followed, and an entry that
    cannot be followed counts as an ordinary file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return True
    return stat.S_ISREG(mode)


def _readable(path: bytes) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


def list_dir(in_dir: PathArg) -> List[bytes]:
    """The names a batch holds from in_dir, in listing order.

    Raises:
        ListingError: "input dir not found: DIR" or "cannot open dir DIR".
    """
    raw_dir = os.fsencode(in_dir)
    try:
        is_dir = stat.S_ISDIR(os.stat(raw_dir).st_mode)
    except (OSError, ValueError):
        is_dir = False
    if not is_dir:
        raise ListingError(f"input dir not found: {os.fsdecode(raw_dir)}")
    names: List[bytes] = []
    try:
        with os.scandir(raw_dir) as entries:
            for entry in entries:
                if len(names) >= MAX_NAMES:
                    break
                if entry.name.startswith(b".") or not _listed(raw_dir + b"/" + entry.name):
                    continue
                names.append(entry.name)
    except OSError:
        raise ListingError(f"cannot open dir {os.fsdecode(raw_dir)}") from None
    return names


def plan(names: Sequence[bytes], in_paths: Sequence[bytes], out_dir: PathArg,
         check_files: bool = True) -> Tuple[List[Job], int]:
    """Turns held names into jobs; returns the jobs in order and the number
    of names skipped. With check_files, a name whose path is no longer a
    regular file is skipped, as the library does for directory entries."""
    raw_out = os.fsencode(out_dir)
    jobs: List[Job] = []
    skipped = 0
    for name, in_path in zip(names, in_paths):
        out_name = output_name(name)
        if out_name is None or (check_files and not _readable(in_path)):
            skipped += 1
            continue
        jobs.append(Job(name, in_path, out_name, raw_out + b"/" + out_name))
    return jobs, skipped


def select_dir(in_dir: PathArg, out_dir: PathArg) -> Tuple[List[Job], int]:
    """Jobs and skipped count for every file of in_dir, as the library's
    batch would process them.

    Raises:
        ListingError: as for :func:`list_dir`.
    """
    raw_dir = os.fsencode(in_dir)
    names = list_dir(raw_dir)
    return plan(names, [raw_dir + b"/" + n for n in names], out_dir)


def select_files(paths: Sequence[PathArg], out_dir: PathArg) -> Tuple[List[Job], int]:
    """Jobs and skipped count for an explicit list of files. Only the name
    rules apply: each listed path is attempted, so a missing or unreadable
    file fails with the library's own message instead of vanishing."""
    raw = [os.fsencode(p) for p in paths]
    return plan([os.path.basename(p) for p in raw], raw, out_dir, check_files=False)
