"""The installed distribution: what the wheel put where, and that the tests use it."""
import ast
import importlib
import importlib.metadata
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import tessarin
import tessarin_names

DISTRIBUTION = importlib.metadata.distribution("tessarin")
RECORDED = {Path(path).as_posix() for path in DISTRIBUTION.files or ()}
SITE_PACKAGES = {Path(sysconfig.get_path(kind)).resolve() for kind in ("purelib", "platlib")}
SHIPPED_SOURCES = Path(__file__).resolve().parents[1] / "python"


def installed_name(path):
    """The path relative to site-packages, or None when it lies elsewhere."""
    path = Path(path).resolve()
    for site in SITE_PACKAGES:
        if path.is_relative_to(site):
            return path.relative_to(site).as_posix()
    return None


@pytest.mark.parametrize("module_name", ["tessarin", "tessarin_cli", "tessarin_names"])
def test_module_is_imported_from_the_installed_wheel(module_name):
    # The source tree must never stand in for the wheel: tests that pass on
    # the tree prove nothing about what users install.
    name = installed_name(importlib.import_module(module_name).__file__)
    assert name is not None and name in RECORDED


def test_extension_sits_at_the_top_level_and_the_licenses_are_shipped():
    version = "{}{}".format(*sys.version_info[:2])
    assert installed_name(tessarin.__file__).startswith(f"tessarin.cpython-{version}-")
    # The project's own, and Unicode's for the case tables compiled in.
    for licence in ("LICENSE", "LICENSE.Unicode"):
        assert any(path.endswith(f".dist-info/licenses/{licence}") for path in RECORDED), licence


def test_every_shipped_source_file_is_in_the_wheel():
    sources = [path for path in SHIPPED_SOURCES.rglob("*")
               if path.is_file() and "__pycache__" not in path.parts]
    assert any(path.name == "__init__.pyi" for path in sources)
    missing = [path.relative_to(SHIPPED_SOURCES).as_posix() for path in sources
               if path.relative_to(SHIPPED_SOURCES).as_posix() not in RECORDED]
    assert missing == []


EXTENSIONS = ["tessarin", "tessarin_cli._native", "tessarin_search._native"]


# What every Linux provides and a manylinux wheel may take from the system:
# the loader, the C and C++ runtimes (and the sanitizers' runtimes, which only
# the sanitized build of scripts/sanitize.sh preloads).
RUNTIMES = ("linux-vdso", "ld-linux-", "libc", "libm", "libpthread", "libdl", "librt",
            "libstdc++", "libgcc_s", "libasan", "libubsan", "libclang_rt.asan")


def loaded_libraries(extension):
    """(soname, resolved path) of each library the loader brings in, by ldd."""
    found = []
    for line in subprocess.run(["ldd", extension], capture_output=True, text=True,
                               check=True).stdout.splitlines():
        name, _, path = re.sub(r" \(0x[0-9a-f]+\)$", "", line.strip()).partition(" => ")
        found.append((Path(name).name, path or name))
    return found


@pytest.mark.parametrize("module_name", EXTENSIONS)
def test_the_extensions_load_nothing_from_outside_the_wheel_but_the_runtimes(module_name):
    # Nothing to take from the system, whatever the wheel: the case tables
    # are compiled in.
    tags = [line.split(":", 1)[1].strip() for line in DISTRIBUTION.read_text("WHEEL").splitlines()
            if line.startswith("Tag:")]
    manylinux = all("-manylinux_" in tag for tag in tags)
    outside = set()
    for soname, path in loaded_libraries(importlib.import_module(module_name).__file__):
        assert path != "not found", soname
        if installed_name(path) in RECORDED:
            assert manylinux, f"{soname} is in a wheel that auditwheel did not make"
        elif not soname.startswith(RUNTIMES):
            outside.add(soname.split(".so")[0])
    assert outside == set()
    if manylinux:
        # What the wheel carries goes with its licence.
        licences = {Path(path).name for path in RECORDED if ".dist-info/licenses/" in path}
        assert "RapidFuzz.copyright" in licences


def dynamic_symbols(extension, which):
    listed = subprocess.run(["nm", "-D", which, extension], capture_output=True, text=True, check=True).stdout
    return {line.split()[-1].partition("@")[0] for line in listed.splitlines() if line.strip()}


@pytest.mark.parametrize("module_name", EXTENSIONS)
def test_the_extensions_export_their_init_function_alone_and_unwind_with_the_systems_unwinder(module_name):
    extension = importlib.import_module(module_name).__file__
    # A C++ runtime linked in (the manylinux wheels carry their own) must not
    # lend its operators new and delete, or anything else, to other libraries.
    assert dynamic_symbols(extension, "--defined-only") == {"PyInit_" + module_name.rpartition(".")[2]}
    # glibc ends a thread (CPython ends a daemon thread so during exit) by
    # unwinding it with libgcc_s, through the extension's frames: their
    # handlers must use that unwinder too, not one of their own.
    assert "_Unwind_Resume" in dynamic_symbols(extension, "--undefined-only")


def test_console_script_loads_the_command_line_entry_point():
    (script,) = [entry for entry in DISTRIBUTION.entry_points if entry.group == "console_scripts"]
    assert script.name == "tessarin" and callable(script.load())


def stub_literal_names(alias):
    stub = DISTRIBUTION.locate_file("tessarin-stubs/__init__.pyi").read_text()
    for node in ast.parse(stub).body:
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", None) == alias:
            return [element.value for element in ast.walk(node.value)
                    if isinstance(element, ast.Constant) and isinstance(element.value, str)]
    raise AssertionError(f"{alias} is not in the stubs")


def test_every_metric_name_in_the_stubs_is_one_the_module_knows():
    names = stub_literal_names("_Metric")
    assert names == list(tessarin_names.METRICS)
    assert stub_literal_names("_Strategy") == list(tessarin_names.STRATEGIES)
    for name in names:
        assert tessarin.fuzzy_raw_extract("abc", "abc", False, False, name, 0, 0, []) == [(0, 3, 0.0)]
    with pytest.raises(BaseException, match="Invalid distance metric"):
        tessarin.fuzzy_raw_extract("abc", "abc", False, False, "levenstein", 0, 0, [])
