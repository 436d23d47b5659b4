"""Builds the wheel of the package ``quenta`` (a PEP 517 build backend).

Standard library only, so ``pip install ./python`` works offline with any
CPython 3 that has pip, in build isolation or not: no setuptools, no wheel
package. It compiles the core's sources of this checkout together with the
native module into ``quenta/_native*.so`` for the interpreter that runs it.

What it needs beside the interpreter: a C++17 compiler (``$CXX``, else
``c++``; ``CXX="ccache c++"`` works), the interpreter's own C headers
(``Python.h``; Debian: python3-dev), pybind11's headers
(``$QUENTA_PYBIND11_INCLUDE``, else the ``pybind11`` module, else
``/usr/include``; Debian: pybind11-dev) and Boost's (Debian: libboost-dev).
Each missing piece stops the build with a message naming the interpreter.

``QUENTA_NATIVE_MODULE=PATH``: take that already built native module (the
CMake build's) instead of compiling.
"""

from __future__ import annotations

import base64
import concurrent.futures
import hashlib
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from pathlib import Path
from typing import Dict, List, Optional

PYTHON_DIR = Path(__file__).resolve().parent.parent
SOURCE_DIR = PYTHON_DIR.parent
PACKAGE_DIR = PYTHON_DIR / "src" / "quenta"
NAME = "quenta"
SUMMARY = "The radio module on a serial port from Python, and a pytest fixture for quenta-sim"


class BuildError(SystemExit):
    """Ends the build with one clear message (pip shows it)."""

    def __init__(self, message: str) -> None:
        super().__init__(f"quenta build ({sys.executable}, Python {sys.version.split()[0]}): {message}")


def _version() -> str:
    text = (PACKAGE_DIR / "__init__.py").read_text(encoding="utf-8")
    found = re.search(r'^__version__ = "([^"]+)"', text, re.MULTILINE)
    if not found:
        raise BuildError("no __version__ in quenta/__init__.py")
    return found.group(1)


def _tag() -> str:
    if sys.implementation.name != "cpython":
        raise BuildError("the native module is built for CPython only")
    soabi = sysconfig.get_config_var("SOABI") or ""
    found = re.match(r"cpython-(\d+)(d?)", soabi)
    if not found:
        raise BuildError(f"cannot tell this interpreter's ABI from SOABI={soabi!r}")
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{python}-cp{found.group(1)}{found.group(2)}-{platform}"


def _extension_suffix() -> str:
    return sysconfig.get_config_var("EXT_SUFFIX") or ".so"


# ---------------------------------------------------------------- compiling
def _pybind11_include() -> str:
    candidates: List[str] = []
    if os.environ.get("QUENTA_PYBIND11_INCLUDE"):
        candidates.append(os.environ["QUENTA_PYBIND11_INCLUDE"])
    try:
        import pybind11  # noqa: PLC0415  (only outside build isolation)

        candidates.append(pybind11.get_include())
    except ImportError:
        pass
    candidates.append("/usr/include")
    for candidate in candidates:
        if (Path(candidate) / "pybind11" / "pybind11.h").is_file():
            return candidate
    raise BuildError(
        "pybind11's headers not found (tried " + ", ".join(candidates) + "): install Debian's "
        "pybind11-dev, or name the folder that holds pybind11/ in QUENTA_PYBIND11_INCLUDE"
    )


def _python_includes() -> List[str]:
    paths = sysconfig.get_paths()
    includes = list(dict.fromkeys([paths["include"], paths["platinclude"]]))
    if not any((Path(p) / "Python.h").is_file() for p in includes):
        raise BuildError(
            f"this interpreter's C headers are missing (no Python.h in {includes[0]}): for Debian's "
            "/usr/bin/python3 install python3-dev, or use an interpreter that has its headers"
        )
    return includes


def _compiler() -> List[str]:
    command = shlex.split(os.environ.get("CXX") or "c++")
    if not command or shutil.which(command[0]) is None:
        raise BuildError(f"no C++ compiler {command[0] if command else ''!r}: install g++ or set CXX")
    return command


def _core_sources() -> List[Path]:
    if not (SOURCE_DIR / "api" / "QUENTA_Session.h").is_file():
        raise BuildError(
            f"the core's sources are not beside {PYTHON_DIR}: install from a whole QUENTA checkout"
        )
    sources = sorted((SOURCE_DIR / "src").rglob("*.cpp"))
    sources += sorted(p for p in (SOURCE_DIR / "api").glob("*.cpp") if p.name != "QUENTA_DllMain.cpp")
    sources += sorted((SOURCE_DIR / "platform" / "posix").glob("*.cpp"))
    return sources + [PACKAGE_DIR / "_native.cpp"]


def _run(command: List[str]) -> None:
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if done.returncode != 0:
        output = done.stdout.decode("utf-8", "replace")
        raise BuildError(f"this failed:\n  {shlex.join(command)}\n{output[-6000:]}")


def _compile_native(out: Path) -> None:
    compiler = _compiler()
    includes = [SOURCE_DIR / "platform" / "include", SOURCE_DIR / "src", SOURCE_DIR / "api",
                SOURCE_DIR / "include"]
    flags = ["-std=c++17", "-O2", "-fPIC", "-fvisibility=hidden", "-pthread", "-DNDEBUG",
             "-DQUENTA_BUILDING_LIBRARY"]
    flags += [f"-I{p}" for p in includes]
    # The compiler's own folders stay where they are: -isystem would reorder
    # them and break the C++ library's #include_next.
    own = {"/usr/include", "/usr/local/include"}
    extra = dict.fromkeys(p for p in _python_includes() + [_pybind11_include()] if p not in own)
    flags += [f"-isystem{p}" for p in extra]
    with tempfile.TemporaryDirectory(prefix="quenta-build-") as work:
        jobs = []
        for index, source in enumerate(_core_sources()):
            target = Path(work) / f"{index:03d}-{source.stem}.o"
            jobs.append((compiler + flags + ["-c", str(source), "-o", str(target)], target))
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            list(pool.map(lambda job: _run(job[0]), jobs))
        _run(compiler + ["-shared", "-pthread", "-o", str(out)] + [str(t) for _, t in jobs])


def _native_module(out_dir: Path) -> Path:
    out = out_dir / f"_native{_extension_suffix()}"
    prebuilt = os.environ.get("QUENTA_NATIVE_MODULE")
    if prebuilt:
        if not prebuilt.endswith(_extension_suffix()):
            raise BuildError(f"QUENTA_NATIVE_MODULE={prebuilt} is not built for this interpreter "
                             f"(its modules end in {_extension_suffix()})")
        shutil.copyfile(prebuilt, out)
    else:
        _compile_native(out)
    return out


# ---------------------------------------------------------------- the wheel
def _metadata(version: str) -> Dict[str, str]:
    dist_info = f"{NAME}-{version}.dist-info"
    return {
        f"{dist_info}/METADATA": (
            f"Metadata-Version: 2.1\nName: {NAME}\nVersion: {version}\nSummary: {SUMMARY}\n"
            "Requires-Python: >=3.9\nClassifier: Framework :: Pytest\n"
            "Classifier: Operating System :: POSIX :: Linux\nClassifier: Typing :: Typed\n"
        ),
        f"{dist_info}/WHEEL": (
            f"Wheel-Version: 1.0\nGenerator: quenta_build\nRoot-Is-Purelib: false\nTag: {_tag()}\n"
        ),
        f"{dist_info}/entry_points.txt": "[pytest11]\nquenta = quenta.pytest_plugin\n",
        f"{dist_info}/top_level.txt": "quenta\n",
    }


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(
    wheel_directory: str,
    config_settings: Optional[Dict[str, str]] = None,
    metadata_directory: Optional[str] = None,
) -> str:
    """PEP 517: builds the wheel into ``wheel_directory`` and returns its file name."""
    version = _version()
    files: Dict[str, bytes] = {}
    for path in sorted(PACKAGE_DIR.iterdir()):
        if path.suffix in (".py", ".pyi") or path.name == "py.typed":
            files[f"quenta/{path.name}"] = path.read_bytes()
    with tempfile.TemporaryDirectory(prefix="quenta-native-") as work:
        native = _native_module(Path(work))
        files[f"quenta/{native.name}"] = native.read_bytes()
    files.update({name: text.encode() for name, text in _metadata(version).items()})
    record = f"{NAME}-{version}.dist-info/RECORD"
    lines = [_record_line(name, data) for name, data in files.items()] + [f"{record},,"]
    files[record] = ("\n".join(lines) + "\n").encode()

    wheel_name = f"{NAME}-{version}-{_tag()}.whl"
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return wheel_name


def build_sdist(sdist_directory: str, config_settings: Optional[Dict[str, str]] = None) -> str:
    """PEP 517: there is no source distribution; the wheel needs the whole checkout."""
    raise BuildError("no source distribution: the native module is built from the whole "
                     "QUENTA checkout (pip install ./python in it)")
