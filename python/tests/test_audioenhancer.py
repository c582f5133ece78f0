"""Tests of the audioenhancer Python binding against the real shared library.

Set AUDIOENHANCER_LIBRARY to the built libaudioenhancer.so. Fixtures are
generated with ffmpeg into a temporary directory.
"""

from __future__ import annotations

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
import unittest
from typing import Any, Dict, List

PACKAGE_ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(PACKAGE_ROOT))

import audioenhancer  # noqa: E402
from audioenhancer import AudioEnhancerError  # noqa: E402

FFMPEG = shutil.which("ffmpeg")
LIBRARY = os.environ.get("AUDIOENHANCER_LIBRARY", "")

_tmp: tempfile.TemporaryDirectory  # type: ignore[type-arg]
FIX: pathlib.Path


def _ffmpeg(*args: str) -> None:
    assert FFMPEG is not None
    subprocess.run([FFMPEG, "-v", "error", "-nostdin", "-y", *args], check=True)


def _sine(name: str, freq: int, seconds: float, rate: int = 44100, channels: int = 1,
          volume: float = 1.0) -> pathlib.Path:
    path = FIX / name
    _ffmpeg("-f", "lavfi", "-i", f"sine=f={freq}:d={seconds}:r={rate}",
            "-af", f"volume={volume}", "-ac", str(channels), str(path))
    return path


def setUpModule() -> None:
    global _tmp, FIX
    if FFMPEG is None:
        raise unittest.SkipTest("ffmpeg not found")
    if not LIBRARY:
        raise unittest.SkipTest("AUDIOENHANCER_LIBRARY is not set")
    _tmp = tempfile.TemporaryDirectory(prefix="ae_py_")
    FIX = pathlib.Path(_tmp.name)
    _sine("mono44.wav", 440, 1.0)
    _sine("loud44.wav", 440, 1.0, volume=4.0)            # about +12 dB
    _sine("stereo48.wav", 1000, 2.0, rate=48000, channels=2)
    _ffmpeg("-f", "lavfi", "-i", "anullsrc=r=22050:cl=mono", "-t", "0.5",
            str(FIX / "silence.wav"))


def tearDownModule() -> None:
    _tmp.cleanup()


class WorkDir(unittest.TestCase):
    """Gives each test a fresh directory for its outputs."""

    def setUp(self) -> None:
        self.work = pathlib.Path(tempfile.mkdtemp(dir=FIX, prefix="work_"))


class VersionTest(unittest.TestCase):
    def test_format(self) -> None:
        text = audioenhancer.version()
        self.assertRegex(text, r"^\d+\.\d+\.\d+ \(libavformat \d+\.\d+\.\d+[,)]")
        self.assertEqual(text.split()[0], audioenhancer.__version__)

    def test_library_in_use_is_the_one_named_by_the_env_var(self) -> None:
        self.assertEqual(audioenhancer.library_path(), os.path.abspath(LIBRARY))


class ProbeTest(unittest.TestCase):
    KEYS = {"duration_s", "sample_rate", "channels", "loudness_lufs",
            "true_peak_db", "noisefloor_db", "codec", "format"}

    def test_mono_wav(self) -> None:
        info = audioenhancer.probe(str(FIX / "mono44.wav"))
        self.assertEqual(set(info), self.KEYS)
        self.assertAlmostEqual(info["duration_s"], 1.0, places=2)
        self.assertEqual(info["sample_rate"], 44100)
        self.assertEqual(info["channels"], 1)
        self.assertEqual(info["codec"], "pcm_s16le")
        self.assertEqual(info["format"], "wav")
        # ffmpeg's sine source has amplitude 1/8: a peak near -18 dBFS.
        self.assertAlmostEqual(info["true_peak_db"], -18.06, delta=0.5)
        self.assertLess(info["loudness_lufs"], -10.0)
        self.assertGreater(info["loudness_lufs"], -40.0)

    def test_stereo_rate_and_duration(self) -> None:
        info = audioenhancer.probe(str(FIX / "stereo48.wav"))
        self.assertEqual(info["sample_rate"], 48000)
        self.assertEqual(info["channels"], 2)
        self.assertAlmostEqual(info["duration_s"], 2.0, places=2)

    def test_gain_raises_loudness_and_peak(self) -> None:
        quiet = audioenhancer.probe(str(FIX / "mono44.wav"))
        loud = audioenhancer.probe(str(FIX / "loud44.wav"))
        self.assertAlmostEqual(loud["loudness_lufs"] - quiet["loudness_lufs"], 12.04, delta=0.3)
        self.assertAlmostEqual(loud["true_peak_db"] - quiet["true_peak_db"], 12.04, delta=0.3)

    def test_silence_reads_floor(self) -> None:
        info = audioenhancer.probe(str(FIX / "silence.wav"))
        self.assertEqual(info["loudness_lufs"], -70.0)
        self.assertEqual(info["true_peak_db"], -70.0)
        self.assertEqual(info["sample_rate"], 22050)

    def test_pathlike_and_bytes_paths(self) -> None:
        by_str = audioenhancer.probe(str(FIX / "stereo48.wav"))
        self.assertEqual(audioenhancer.probe(FIX / "stereo48.wav"), by_str)
        self.assertEqual(audioenhancer.probe(os.fsencode(FIX / "stereo48.wav")), by_str)

    def test_bad_path_types(self) -> None:
        with self.assertRaises(TypeError):
            audioenhancer.probe(42)  # type: ignore[arg-type]
        with self.assertRaises(ValueError):
            audioenhancer.probe("a\0b.wav")


class EnhanceTest(WorkDir):
    def test_keyword_options(self) -> None:
        dst = self.work / "kw.wav"
        result = audioenhancer.enhance(str(FIX / "mono44.wav"), str(dst), denoise=3, eq="podcast")
        self.assertEqual(result["output"], str(dst))
        self.assertEqual(result["applied"], ["denoise", "loudnorm", "eq_podcast"])
        self.assertAlmostEqual(result["after_lufs"], -14.0, delta=1.0)
        self.assertAlmostEqual(result["duration_s"], 1.0, places=2)
        self.assertTrue(dst.is_file())
        self.assertAlmostEqual(result["size_mb"], dst.stat().st_size / 2**20, places=6)
        # The written file really is at the reported level.
        self.assertAlmostEqual(audioenhancer.probe(dst)["loudness_lufs"], result["after_lufs"], delta=0.5)

    def test_dict_options(self) -> None:
        dst = self.work / "dict.wav"
        result = audioenhancer.enhance(FIX / "mono44.wav", dst, {"loudnorm": False})
        self.assertEqual(result["applied"], [])
        self.assertAlmostEqual(result["after_lufs"], result["before_lufs"], delta=0.2)

    def test_dict_and_keywords_merge_keywords_win(self) -> None:
        dst = self.work / "merge.wav"
        result = audioenhancer.enhance(FIX / "mono44.wav", dst,
                                       {"eq": "voice", "target_lufs": -30.0}, target_lufs=-20.0)
        self.assertEqual(result["applied"], ["loudnorm", "eq_voice"])
        self.assertAlmostEqual(result["after_lufs"], -20.0, delta=1.0)

    def test_python_bools_reach_the_library_as_booleans(self) -> None:
        # The library only honours JSON true, so a bool sent as 1 would be off.
        dst = self.work / "flags.wav"
        result = audioenhancer.enhance(FIX / "mono44.wav", dst, loudnorm=False,
                                       repair_clicks=True, normalize_peak=True)
        self.assertEqual(result["applied"], ["repair_clicks", "normalize_peak"])

    def test_defaults_when_no_options(self) -> None:
        result = audioenhancer.enhance(FIX / "loud44.wav", self.work / "def.wav")
        self.assertEqual(result["applied"], ["loudnorm"])
        self.assertAlmostEqual(result["after_lufs"], -14.0, delta=1.0)

    def test_output_extension_picks_the_format(self) -> None:
        dst = self.work / "out.m4a"
        audioenhancer.enhance(FIX / "stereo48.wav", dst)
        info = audioenhancer.probe(dst)
        self.assertEqual(info["codec"], "aac")
        self.assertEqual(info["channels"], 2)

    def test_unknown_option_is_rejected_before_the_call(self) -> None:
        dst = self.work / "never.wav"
        with self.assertRaises(TypeError) as ctx:
            audioenhancer.enhance(FIX / "mono44.wav", dst, denoize=3)
        self.assertIn("denoize", str(ctx.exception))
        with self.assertRaises(TypeError):
            audioenhancer.enhance(FIX / "mono44.wav", dst, {"gain": 2})
        with self.assertRaises(TypeError):
            audioenhancer.batch(FIX, self.work / "b", volume=1)
        with self.assertRaises(TypeError):
            audioenhancer.enhance(FIX / "mono44.wav", dst, ["denoise"])  # type: ignore[arg-type]
        self.assertFalse(dst.exists())
        self.assertFalse((self.work / "b").exists())


class ErrorTest(WorkDir):
    def test_missing_input_carries_library_message(self) -> None:
        missing = str(FIX / "nope.wav")
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.probe(missing)
        self.assertEqual(ctx.exception.message, f"file not found: {missing}")
        self.assertEqual(str(ctx.exception), ctx.exception.message)
        self.assertIsNone(ctx.exception.summary)
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.enhance(pathlib.Path(missing), self.work / "x.wav", denoise=2)
        self.assertEqual(ctx.exception.message, f"file not found: {missing}")

    def test_bad_option_value_carries_library_message(self) -> None:
        # NaN is not JSON; the binding passes it on and the library refuses it.
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.enhance(FIX / "mono44.wav", self.work / "nan.wav",
                                  target_lufs=float("nan"))
        self.assertEqual(ctx.exception.message,
                         'options JSON parse failed: {"target_lufs":NaN}')
        self.assertFalse((self.work / "nan.wav").exists())

    def test_output_equal_to_input(self) -> None:
        src = self.work / "same.wav"
        shutil.copy(FIX / "mono44.wav", src)
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.enhance(src, src)
        self.assertEqual(ctx.exception.message, f"output path is the input file: {src}")

    def test_a_success_after_a_failure_is_unaffected(self) -> None:
        with self.assertRaises(AudioEnhancerError):
            audioenhancer.probe(FIX / "nope.wav")
        self.assertEqual(audioenhancer.probe(FIX / "mono44.wav")["channels"], 1)


class BatchTest(WorkDir):
    def test_summary(self) -> None:
        src = self.work / "in"
        src.mkdir()
        shutil.copy(FIX / "mono44.wav", src / "a.wav")
        shutil.copy(FIX / "stereo48.wav", src / "b.wav")
        (src / "notes.txt").write_text("not audio")
        (src / "broken.flac").write_text("not a flac file")
        dst = self.work / "out" / "nested"
        summary = audioenhancer.batch(src, dst, {"eq": "music"}, denoise=1)
        self.assertEqual((summary["processed"], summary["failed"], summary["skipped"]), (2, 1, 1))
        by_name = {f["in"]: f for f in summary["files"]}
        self.assertEqual(set(by_name), {"a.wav", "b.wav", "broken.flac"})
        self.assertIn("error", by_name["broken.flac"])
        total = 0
        for name in ("a.wav", "b.wav"):
            entry = by_name[name]
            out = dst / entry["out"]
            self.assertTrue(out.is_file())
            self.assertEqual(entry["size_bytes"], out.stat().st_size)
            total += entry["size_bytes"]
        self.assertAlmostEqual(summary["total_mb"], total / 2**20, places=6)
        self.assertAlmostEqual(audioenhancer.probe(dst / "b.wav")["loudness_lufs"], -14.0, delta=1.0)

    def test_no_audio_raises_with_summary(self) -> None:
        src = self.work / "empty"
        src.mkdir()
        (src / "readme.txt").write_text("nothing to hear")
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.batch(str(src), str(self.work / "out"))
        err = ctx.exception
        self.assertEqual(err.message, f"no audio files found in {src}")
        self.assertIsNotNone(err.summary)
        assert err.summary is not None
        self.assertEqual(err.summary["files"], [])
        self.assertEqual((err.summary["processed"], err.summary["failed"], err.summary["skipped"]),
                         (0, 0, 1))

    def test_jobs_change_nothing_in_the_answer(self) -> None:
        src = self.work / "in"
        src.mkdir()
        for i, name in enumerate(("mono44.wav", "stereo48.wav", "loud44.wav")):
            shutil.copy(FIX / name, src / f"{i}_{name}")
        one = audioenhancer.batch(src, self.work / "one", jobs=1)
        self.assertEqual(one["processed"], 3)
        self.assertEqual(audioenhancer.batch(src, self.work / "two", {"jobs": 2}), one)
        self.assertEqual(audioenhancer.batch(src, self.work / "all", jobs=0), one)
        for entry in one["files"]:
            self.assertEqual((self.work / "two" / entry["out"]).read_bytes(),
                             (self.work / "one" / entry["out"]).read_bytes())
        with self.assertRaises(TypeError):
            audioenhancer.enhance(FIX / "mono44.wav", self.work / "x.wav", jobs=2)

    def test_missing_dir_raises_without_summary(self) -> None:
        missing = self.work / "absent"
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.batch(missing, self.work / "out")
        self.assertEqual(ctx.exception.message, f"input dir not found: {missing}")
        self.assertIsNone(ctx.exception.summary)


class SharedListsTest(WorkDir):
    """The package's lists are the ones the library it loads was built with."""

    def test_version_presets_and_extensions_are_the_library_s(self) -> None:
        from audioenhancer import selection
        from audioenhancer.__main__ import EQ_PRESETS

        self.assertEqual(audioenhancer.version().split()[0], audioenhancer.__version__)

        # Each preset the command line offers is one the library applies; the
        # last choice, and any other name, apply no EQ.
        *presets, off = EQ_PRESETS
        for name in [*presets, off, presets[0].upper(), presets[0] + "s"]:
            result = audioenhancer.enhance(FIX / "mono44.wav", self.work / "eq.wav",
                                           eq=name, loudnorm=False)
            self.assertEqual(result["applied"], [f"eq_{name}"] if name in presets else [], name)

        # A batch attempts exactly the extensions of the table, under the
        # output names it gives: each one is written.
        src = self.work / "in"
        src.mkdir()
        outsiders = {f"upper_{ext}.{ext.upper()}" for ext in selection.EXTENSIONS}
        outsiders |= {"other.aifc", "other.wave", "other.m4b"}
        listed = {f"in_{ext}.{ext}" for ext in selection.EXTENSIONS}
        for name in listed | outsiders:
            shutil.copy(FIX / "mono44.wav", src / name)
        summary = audioenhancer.batch(src, self.work / "out", loudnorm=False)
        outs = {f["in"]: f.get("out", f.get("error")) for f in summary["files"]}
        self.assertEqual(outs, {name: selection.output_name(name.encode()).decode()  # type: ignore[union-attr]
                                for name in listed})
        self.assertEqual((summary["failed"], summary["skipped"]), (0, len(outsiders)))
        # The formats the library names for an unknown extension are written
        # as themselves in the table too.
        with self.assertRaises(AudioEnhancerError) as ctx:
            audioenhancer.enhance(FIX / "mono44.wav", self.work / "out.xyz")
        hint = ctx.exception.message.rpartition("(use ")[2].rstrip(")")
        for ext in hint.split("/"):
            self.assertEqual(selection.EXTENSIONS.get(ext), ext, ctx.exception.message)


class ThreadTest(WorkDir):
    """Several threads share the library; each must get its own answer."""

    def test_concurrent_calls_get_their_own_results(self) -> None:
        sources = ["mono44.wav", "stereo48.wav", "silence.wav", "loud44.wav"]
        expected = {name: audioenhancer.probe(FIX / name) for name in sources}
        errors: List[str] = []
        start = threading.Barrier(8)

        def worker(index: int) -> None:
            name = sources[index % len(sources)]
            try:
                start.wait()
                for round_ in range(3):
                    got = audioenhancer.probe(FIX / name)
                    if got != expected[name]:
                        errors.append(f"probe {name}: {got} != {expected[name]}")
                    dst = self.work / f"t{index}_{round_}.wav"
                    res: Dict[str, Any] = audioenhancer.enhance(FIX / name, dst, loudnorm=False)
                    if res["output"] != str(dst):
                        errors.append(f"enhance {dst}: output {res['output']}")
                    if res["duration_s"] != expected[name]["duration_s"]:
                        errors.append(f"enhance {dst}: duration {res['duration_s']}")
                    try:
                        audioenhancer.probe(FIX / f"missing{index}.wav")
                        errors.append(f"missing{index}.wav did not fail")
                    except AudioEnhancerError as exc:
                        want = f"file not found: {FIX / f'missing{index}.wav'}"
                        if exc.message != want:
                            errors.append(f"error text {exc.message!r} != {want!r}")
            except Exception as exc:  # reported below, not lost in the thread
                errors.append(f"thread {index}: {exc!r}")

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(errors, [])
        self.assertEqual(len(list(self.work.glob("t*_*.wav"))), 24)


def _run_python(code: str, env_lib: Any, package_root: pathlib.Path = PACKAGE_ROOT,
                hide_loader_path: bool = False) -> "subprocess.CompletedProcess[str]":
    """Runs code in a fresh interpreter importing the package from
    package_root, with AUDIOENHANCER_LIBRARY set to env_lib (None: unset)."""
    env = dict(os.environ)
    env.pop("AUDIOENHANCER_LIBRARY", None)
    if env_lib is not None:
        env["AUDIOENHANCER_LIBRARY"] = str(env_lib)
    env["PYTHONPATH"] = str(package_root)
    if hide_loader_path:
        env.pop("LD_LIBRARY_PATH", None)
    # The working directory comes first on sys.path for -c: make it the root too.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          cwd=str(package_root), capture_output=True, text=True, timeout=120)


_REPORT = """
    import json, audioenhancer
    print(json.dumps({"module": audioenhancer.__file__}))
    try:
        print(json.dumps({"version": audioenhancer.version(),
                          "path": audioenhancer.library_path()}))
    except audioenhancer.LibraryLoadError as exc:
        print(json.dumps({"error": exc.message}))
"""


class LibraryLookupTest(unittest.TestCase):
    """Library lookup in fresh interpreters (the loaded library is cached)."""

    def _report(self, env_lib: Any, package_root: pathlib.Path = PACKAGE_ROOT,
                hide_loader_path: bool = False) -> Dict[str, Any]:
        proc = _run_python(_REPORT, env_lib, package_root, hide_loader_path)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stdout.splitlines()
        self.assertEqual(len(lines), 2, proc.stdout)
        module = json.loads(lines[0])["module"]
        self.assertEqual(pathlib.Path(module).resolve(),
                         (package_root / "audioenhancer" / "__init__.py").resolve())
        report: Dict[str, Any] = json.loads(lines[1])
        return report

    def test_env_var_names_the_library(self) -> None:
        report = self._report(LIBRARY)
        self.assertEqual(report.get("path"), os.path.abspath(LIBRARY), report)
        self.assertEqual(report["version"], audioenhancer.version())

    def test_env_var_with_missing_file_is_a_clear_error(self) -> None:
        bogus = FIX / "no" / "libaudioenhancer.so"
        report = self._report(bogus)
        self.assertEqual(report.get("error"), f"AUDIOENHANCER_LIBRARY={str(bogus)!r}: no such file")

    def test_env_var_with_non_library_file_is_a_clear_error(self) -> None:
        fake = FIX / "fake.so"
        fake.write_text("not a shared object")
        report = self._report(fake)
        self.assertIn("error", report)
        self.assertTrue(report["error"].startswith(f"cannot load audioenhancer library {str(fake)!r}"),
                        report["error"])

    def test_env_var_with_another_library_is_a_clear_error(self) -> None:
        # Any loadable shared object without the five functions will do; the
        # interpreter's own ctypes extension module is one.
        import _ctypes
        other = getattr(_ctypes, "__file__", None)
        if not other:
            self.skipTest("_ctypes is built into the interpreter")
        report = self._report(other)
        self.assertIn("error", report)
        self.assertTrue(report["error"].startswith(f"{os.path.abspath(other)!r} (AUDIOENHANCER_LIBRARY) "
                                                   "is not the audioenhancer library"), report["error"])

    def test_library_beside_the_package_is_found(self) -> None:
        root = pathlib.Path(tempfile.mkdtemp(dir=FIX, prefix="pkg_"))
        pkg = root / "audioenhancer"
        pkg.mkdir()
        shutil.copy(PACKAGE_ROOT / "audioenhancer" / "__init__.py", pkg / "__init__.py")
        shutil.copy(os.path.realpath(LIBRARY), pkg / "libaudioenhancer.so.1")
        report = self._report(None, root)
        self.assertEqual(report.get("path"), str(pkg / "libaudioenhancer.so.1"), report)
        self.assertEqual(report["version"], audioenhancer.version())

    def test_nothing_found_names_the_env_var(self) -> None:
        # A package copy with no library beside it, no env var and an empty
        # loader path: only a system-wide install could still be found.
        root = pathlib.Path(tempfile.mkdtemp(dir=FIX, prefix="bare_"))
        (root / "audioenhancer").mkdir()
        shutil.copy(PACKAGE_ROOT / "audioenhancer" / "__init__.py", root / "audioenhancer" / "__init__.py")
        report = self._report(None, root, hide_loader_path=True)
        if "path" in report:
            self.skipTest(f"a system-wide library is installed: {report['path']}")
        self.assertIn("AUDIOENHANCER_LIBRARY", report["error"])


if __name__ == "__main__":
    unittest.main()
