"""The project's build backend: scikit-build-core's, except that an sdist
also carries the RapidFuzz C++ headers and their licence.

They are copied from the system's package (Debian's librapidfuzz-cpp-dev)
into third_party/rapidfuzz/ while the sdist is made and removed afterwards,
so no third-party file ever sits in the work tree or the repository.
CMakeLists.txt uses the system's package when CMake finds one and this copy
otherwise, so the sdist builds anywhere a C++ compiler and CPython are.
"""
import shutil
import subprocess
from pathlib import Path

from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F401,F403  (every other hook as it is)

ROOT = Path(__file__).resolve().parents[1]
VENDORED = ROOT / "third_party" / "rapidfuzz"
SYSTEM_HEADERS = Path("/usr/include/rapidfuzz")
SYSTEM_LICENCE = Path("/usr/share/doc/librapidfuzz-cpp-dev/copyright")


def _package_version():
    try:
        return subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "librapidfuzz-cpp-dev"],
                              capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def _vendor_rapidfuzz():
    if not (SYSTEM_HEADERS.is_dir() and SYSTEM_LICENCE.is_file()):
        raise RuntimeError(f"making an sdist needs the RapidFuzz C++ headers in {SYSTEM_HEADERS} and "
                           f"their licence in {SYSTEM_LICENCE}: install librapidfuzz-cpp-dev "
                           "(scripts/setup.sh system)")
    shutil.rmtree(VENDORED, ignore_errors=True)
    shutil.copytree(SYSTEM_HEADERS, VENDORED / "include" / "rapidfuzz")
    shutil.copyfile(SYSTEM_LICENCE, VENDORED / "LICENSE")
    (VENDORED / "SOURCE").write_text(
        f"The C++ headers of RapidFuzz, as Debian's librapidfuzz-cpp-dev {_package_version()} "
        "installs them; LICENSE is that package's copyright file.\n")


def build_sdist(sdist_directory, config_settings=None):
    # An unpacked sdist already holds the copy: remaking an sdist from it
    # keeps that copy rather than needing the system's package.
    if (ROOT / "PKG-INFO").is_file() and VENDORED.is_dir():
        return _backend.build_sdist(sdist_directory, config_settings)
    _vendor_rapidfuzz()
    try:
        return _backend.build_sdist(sdist_directory, config_settings)
    finally:
        shutil.rmtree(VENDORED, ignore_errors=True)
        try:
            VENDORED.parent.rmdir()
        except OSError:  # third_party/ holds something else too
            pass
