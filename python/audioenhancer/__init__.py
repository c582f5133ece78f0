"""Python binding for the audioenhancer shared library.

The library decodes any input FFmpeg can read, measures loudness, true peak
and noise floor, and runs one enhancement chain (denoise, click repair, an EQ
preset, peak gain, loudness normalisation) before encoding the result in the
format named by the output file's extension.

Example::

    import audioenhancer

    info = audioenhancer.probe("talk.wav")
    result = audioenhancer.enhance("talk.wav", "talk.m4a", denoise=5, eq="podcast")
    print(result["after_lufs"], result["applied"])

The shared library is located, in this order:

1. the path in the environment variable ``AUDIOENHANCER_LIBRARY``;
2. a ``libaudioenhancer.so*`` file shipped beside this module;
3. the system loader (``ctypes.util.find_library("audioenhancer")``, then
   ``libaudioenhancer.so.1``).

The library keeps process-wide state, so every call made through this module
is serialised by one module-level lock; results are copied out of the
library's buffer before the lock is released.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import json
import os
import threading
from typing import Any, Dict, List, Mapping, Optional, Union

__all__ = [
    "AudioEnhancerError",
    "LibraryLoadError",
    "BATCH_OPTION_NAMES",
    "OPTION_NAMES",
    "batch",
    "enhance",
    "library_path",
    "probe",
    "version",
]

#: Environment variable naming the shared library to load.
LIBRARY_ENV = "AUDIOENHANCER_LIBRARY"

#: Keys of the options document understood by :func:`enhance` and :func:`batch`.
OPTION_NAMES = frozenset(
    ("denoise", "loudnorm", "target_lufs", "repair_clicks", "eq", "normalize_peak")
)

#: What :func:`batch` also understands: the number of files worked on at once.
BATCH_OPTION_NAMES = OPTION_NAMES | {"jobs"}

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class AudioEnhancerError(Exception):
    """A library call failed.

    Attributes:
        message: the library's error text (``audioenhancer_last_error()``), or
            a description of why the library could not be loaded.
        summary: for :func:`batch`, the parsed summary when the library stored
            one despite failing (no audio file found); otherwise ``None``.
    """

    def __init__(self, message: str, summary: Optional[Dict[str, Any]] = None) -> None:
        super().__init__(message)
        self.message: str = message
        self.summary: Optional[Dict[str, Any]] = summary

    def __str__(self) -> str:
        return self.message


class LibraryLoadError(AudioEnhancerError):
    """The shared library could not be found or loaded."""


_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


def _decode(raw: bytes) -> str:
    """Decodes library text; bytes that are not UTF-8 (file names) survive
    as surrogate escapes, as in :func:`os.fsdecode`."""
    return raw.decode("utf-8", "surrogateescape")


def _bundled_candidates() -> List[str]:
    """Returns the libaudioenhancer.so* files beside this module, the
    unversioned name first, then the soname, then any others."""
    found = sorted(glob.glob(os.path.join(glob.escape(_PACKAGE_DIR), "libaudioenhancer.so*")))
    preferred = [os.path.join(_PACKAGE_DIR, n) for n in ("libaudioenhancer.so", "libaudioenhancer.so.1")]
    return [p for p in preferred if p in found] + [p for p in found if p not in preferred]


def _declare(lib: ctypes.CDLL) -> None:
    """Sets the argument and result types of the five exported functions."""
    out = ctypes.POINTER(ctypes.c_char_p)
    lib.audioenhancer_version.argtypes = []
    lib.audioenhancer_version.restype = ctypes.c_char_p
    lib.audioenhancer_last_error.argtypes = []
    lib.audioenhancer_last_error.restype = ctypes.c_char_p
    lib.audioenhancer_probe.argtypes = [ctypes.c_char_p, out]
    lib.audioenhancer_probe.restype = ctypes.c_int
    lib.audioenhancer_enhance.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, out]
    lib.audioenhancer_enhance.restype = ctypes.c_int
    lib.audioenhancer_batch.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, out]
    lib.audioenhancer_batch.restype = ctypes.c_int


def _open(path: str, origin: str) -> ctypes.CDLL:
    """Loads one candidate and declares its functions, or raises
    LibraryLoadError naming where the candidate came from."""
    try:
        lib = ctypes.CDLL(path)
    except OSError as exc:
        raise LibraryLoadError(f"cannot load audioenhancer library {path!r} ({origin}): {exc}") from exc
    try:
        _declare(lib)
    except AttributeError as exc:
        raise LibraryLoadError(
            f"{path!r} ({origin}) is not the audioenhancer library: {exc}"
        ) from exc
    return lib


def _load_locked() -> ctypes.CDLL:
    """Returns the loaded library, loading it on first use. The caller holds
    ``_lock``."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib

    env = os.environ.get(LIBRARY_ENV)
    if env:
        # An explicit choice is never silently replaced by another library.
        if not os.path.exists(env):
            raise LibraryLoadError(f"{LIBRARY_ENV}={env!r}: no such file")
        _lib, _lib_path = _open(os.path.abspath(env), LIBRARY_ENV), os.path.abspath(env)
        return _lib

    errors: List[str] = []
    for candidate in _bundled_candidates():
        try:
            _lib, _lib_path = _open(candidate, "package directory"), candidate
            return _lib
        except LibraryLoadError as exc:
            errors.append(exc.message)

    names: List[str] = []
    found = ctypes.util.find_library("audioenhancer")
    if found:
        names.append(found)
    if "libaudioenhancer.so.1" not in names:
        names.append("libaudioenhancer.so.1")
    for name in names:
        try:
            _lib, _lib_path = _open(name, "system loader"), name
            return _lib
        except LibraryLoadError as exc:
            errors.append(exc.message)

    raise LibraryLoadError(
        "audioenhancer library not found: set "
        f"{LIBRARY_ENV} to the path of libaudioenhancer.so, ship it beside "
        f"{_PACKAGE_DIR}, or install it where the system loader finds it"
        + ("; tried: " + "; ".join(errors) if errors else "")
    )


def library_path() -> str:
    """Returns the path (or loader name) of the shared library in use,
    loading it if needed.

    Raises:
        LibraryLoadError: no usable library was found.
    """
    with _lock:
        _load_locked()
        assert _lib_path is not None
        return _lib_path


def _path_arg(path: PathArg, name: str) -> bytes:
    """Encodes a str, bytes or os.PathLike path for the library."""
    try:
        raw = os.fsencode(path)
    except TypeError:
        raise TypeError(
            f"{name} must be str, bytes or os.PathLike, not {type(path).__name__}"
        ) from None
    if b"\0" in raw:
        raise ValueError(f"{name} contains a NUL byte")
    return raw


def _options_arg(options: Optional[Mapping[str, Any]], kwargs: Mapping[str, Any],
                 known: frozenset = OPTION_NAMES) -> Optional[bytes]:
    """Merges the options mapping and keyword options (keywords win) into the
    JSON options document, or None for the library's defaults.

    Raises:
        TypeError: an option name is unknown, options is not a mapping, or a
            value cannot be written as JSON.
    """
    if options is not None and not isinstance(options, Mapping):
        raise TypeError(f"options must be a dict or None, not {type(options).__name__}")
    merged: Dict[str, Any] = dict(options or {})
    merged.update(kwargs)
    unknown = sorted(str(k) for k in merged if k not in known)
    if unknown:
        raise TypeError(
            "unknown audioenhancer option(s): "
            + ", ".join(unknown)
            + " (known: "
            + ", ".join(sorted(known))
            + ")"
        )
    if not merged:
        return None
    # Values are passed through unchanged; the library judges them (it
    # rejects NaN and infinities, which are not JSON).
    return json.dumps(merged, separators=(",", ":")).encode("utf-8")


def _last_error_locked(lib: ctypes.CDLL) -> str:
    """Returns the library's last error text; the caller holds ``_lock``."""
    raw = lib.audioenhancer_last_error()
    return _decode(raw) if raw else ""


def _result_locked(out: ctypes.c_char_p) -> Dict[str, Any]:
    """Copies and parses the result text; the caller holds ``_lock``."""
    raw = out.value
    if raw is None:
        raise AudioEnhancerError("library returned no result")
    result: Dict[str, Any] = json.loads(_decode(raw))
    return result


def version() -> str:
    """Returns the library's version text, such as
    ``"1.0.1 (libavformat 59.27.100, RNNoise)"``.

    Raises:
        LibraryLoadError: no usable library was found.
    """
    with _lock:
        lib = _load_locked()
        raw = lib.audioenhancer_version()
        return _decode(raw) if raw else ""


def probe(path: PathArg) -> Dict[str, Any]:
    """Decodes and measures one file.

    Args:
        path: the input file.

    Returns:
        ``{"duration_s", "sample_rate", "channels", "loudness_lufs",
        "true_peak_db", "noisefloor_db", "codec", "format"}``; a figure that
        cannot be measured (silence) reads -70.0.

    Raises:
        AudioEnhancerError: the library failed (message is its error text).
        LibraryLoadError: no usable library was found.
    """
    raw_path = _path_arg(path, "path")
    with _lock:
        lib = _load_locked()
        out = ctypes.c_char_p()
        if lib.audioenhancer_probe(raw_path, ctypes.byref(out)) != 0:
            raise AudioEnhancerError(_last_error_locked(lib))
        return _result_locked(out)


def enhance(
    src: PathArg,
    dst: PathArg,
    options: Optional[Mapping[str, Any]] = None,
    **kwargs: Any,
) -> Dict[str, Any]:
    """Enhances one file into another; dst's extension picks the format
    (wav, m4a, mp4, mp3, ogg, opus, flac).

    Options may be given as a dict, as keywords, or both (keywords win):
    ``denoise`` (0..10), ``loudnorm`` (bool), ``target_lufs`` (-70..0; above -5 levels to -5),
    ``repair_clicks`` (bool), ``eq`` ("podcast", "music", "voice", "none"),
    ``normalize_peak`` (bool). Omitted options take the library's defaults.

    Returns:
        ``{"output", "before_lufs", "after_lufs", "before_peak",
        "after_peak", "size_mb", "duration_s", "applied"}``.

    Raises:
        TypeError: an unknown option name (raised before the library is
            called) or a value that cannot be written as JSON.
        AudioEnhancerError: the library failed (message is its error text).
        LibraryLoadError: no usable library was found.
    """
    return _enhance_doc(_path_arg(src, "src"), _path_arg(dst, "dst"), _options_arg(options, kwargs))


def _enhance_doc(raw_src: bytes, raw_dst: bytes, doc: Optional[bytes]) -> Dict[str, Any]:
    """enhance with encoded paths and a ready options document (the cluster
    workers send the document their client built)."""
    with _lock:
        lib = _load_locked()
        out = ctypes.c_char_p()
        if lib.audioenhancer_enhance(raw_src, raw_dst, doc, ctypes.byref(out)) != 0:
            raise AudioEnhancerError(_last_error_locked(lib))
        return _result_locked(out)


def batch(
    src_dir: PathArg,
    dst_dir: PathArg,
    options: Optional[Mapping[str, Any]] = None,
    jobs: Optional[int] = None,
    **kwargs: Any,
) -> Dict[str, Any]:
    """Enhances every audio file of src_dir (not recursive) into dst_dir,
    which is created with its parents. Options are as for :func:`enhance`.

    ``jobs`` sets the options document's ``"jobs"`` member, the number of
    files the library works on at once: 0 (or None, the member left out)
    means one per online processor, 1 one after another. The summary is the
    same whatever the number. ``audioenhancer.cluster.batch`` spreads the
    same work over the machines of a Dask cluster.

    Returns:
        ``{"files": [{"in", "out", "size_bytes"} or {"in", "error"}, ...],
        "processed", "failed", "skipped", "total_mb"}``. A call in which
        some files failed still returns the summary.

    Raises:
        TypeError: as for :func:`enhance`.
        AudioEnhancerError: the library failed; when no audio file was found
            the error's ``summary`` holds the stored summary.
        LibraryLoadError: no usable library was found.
    """
    raw_src = _path_arg(src_dir, "src_dir")
    raw_dst = _path_arg(dst_dir, "dst_dir")
    if jobs is not None:
        kwargs = dict(kwargs, jobs=jobs)
    doc = _options_arg(options, kwargs, BATCH_OPTION_NAMES)
    with _lock:
        lib = _load_locked()
        out = ctypes.c_char_p()
        if lib.audioenhancer_batch(raw_src, raw_dst, doc, ctypes.byref(out)) != 0:
            message = _last_error_locked(lib)
            # out starts NULL, so a value means this call stored a summary.
            summary = _result_locked(out) if out.value is not None else None
            raise AudioEnhancerError(message, summary)
        return _result_locked(out)


def __getattr__(name: str) -> Any:
    # The version is the library's own (_lists.py), read on first use: this
    # module alone, with the library beside it, is a working binding.
    if name == "__version__":
        from ._lists import VERSION

        return VERSION
    # audioenhancer.cluster needs Dask; it is imported on first use only, so
    # the rest of the package keeps to the standard library.
    if name == "cluster":
        import importlib

        return importlib.import_module(".cluster", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
