"""A minimal in-tree build backend: builds the pure-Python wheel with the
standard library only, so `pip install ./python` needs no network access to
fetch setuptools into an isolated build environment."""
import base64
import hashlib
import json
import os
import zipfile

NAME = "audioenhancer"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _lists_path():
    # The library's lists (version, containers, presets): in an unpacked
    # sdist beside the modules, else in the source tree the package sits in.
    bundled = os.path.join(ROOT, NAME, "lists.json")
    if os.path.exists(bundled):
        return bundled
    return os.path.join(os.path.dirname(ROOT), "src", "base", "lists.json")


with open(_lists_path(), "rb") as _f:
    LISTS = _f.read()
VERSION = json.loads(LISTS)["version"]
DIST_INFO = f"{NAME}-{VERSION}.dist-info"

METADATA = f"""Metadata-Version: 2.1
Name: {NAME}
Version: {VERSION}
Summary: ctypes binding for the audioenhancer shared library
Requires-Python: >=3.8
Classifier: Programming Language :: Python :: 3
Classifier: Typing :: Typed
"""

WHEEL = """Wheel-Version: 1.0
Generator: ae_backend
Root-Is-Purelib: true
Tag: py3-none-any
"""


def _package_files():
    pkg = os.path.join(ROOT, NAME)
    for name in sorted(os.listdir(pkg)):
        if name.endswith(".py") or name == "py.typed" or name.startswith("libaudioenhancer.so"):
            yield os.path.join(pkg, name), f"{NAME}/{name}"


def _record_line(arcname, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    target = os.path.join(metadata_directory, DIST_INFO)
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(target, "METADATA"), "w") as f:
        f.write(METADATA)
    with open(os.path.join(target, "WHEEL"), "w") as f:
        f.write(WHEEL)
    return DIST_INFO


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    filename = f"{NAME}-{VERSION}-py3-none-any.whl"
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w",
                         zipfile.ZIP_DEFLATED) as whl:
        entries = [(arc, open(path, "rb").read()) for path, arc in _package_files()]
        entries += [(f"{NAME}/lists.json", LISTS),
                    (f"{DIST_INFO}/METADATA", METADATA.encode()),
                    (f"{DIST_INFO}/WHEEL", WHEEL.encode())]
        for arcname, data in entries:
            whl.writestr(arcname, data)
            records.append(_record_line(arcname, data))
        records.append(f"{DIST_INFO}/RECORD,,")
        whl.writestr(f"{DIST_INFO}/RECORD", "\n".join(records) + "\n")
    return filename


def build_sdist(sdist_directory, config_settings=None):
    import tarfile
    filename = f"{NAME}-{VERSION}.tar.gz"
    base = f"{NAME}-{VERSION}"
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as tar:
        for rel in ("pyproject.toml", "README.md", "backend/ae_backend.py"):
            tar.add(os.path.join(ROOT, rel), f"{base}/{rel}")
        for path, arc in _package_files():
            tar.add(path, f"{base}/{arc}")
        tar.add(_lists_path(), f"{base}/{NAME}/lists.json")
        info = os.path.join(sdist_directory, "PKG-INFO")
        with open(info, "w") as f:
            f.write(METADATA)
        tar.add(info, f"{base}/PKG-INFO")
        os.remove(info)
    return filename
