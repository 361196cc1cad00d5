"""The set-up's system-package step on simulated machines.

Stand-ins for the package tools come first on PATH: they record every call
and answer as the simulated machine would, so a first run on a fresh Debian
12 or 13 machine is exercised on any machine, without installing anything.
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

SETUP = Path(__file__).resolve().parent.parent / "scripts" / "setup.sh"
MIRROR = "http://mirror.example.test/debian"

# Each tool logs its call as one line; sudo runs what it is given.
STAND_INS = {
    "sudo": '"$@"',
    "id": 'case "$1" in -u) echo "$FAKE_UID";; _apt) exit 0;; *) exit 1;; esac',
    "chown": "true",
    "dpkg-query": 'grep -qx "${@: -1}" "$FAKE_STATE/installed" && echo "install ok installed" || exit 1',
    "apt-cache": '[ "$1" = show ] && grep -qx "$2" "$FAKE_STATE/candidates"',
    "apt-config": 'echo "list=\'$FAKE_STATE/apt/sources.list\'"; echo "parts=\'$FAKE_STATE/apt/sources.list.d/\'"',
    "dpkg": 'for f; do case "$f" in *.deb) basename "$f" | cut -d_ -f1 >>"$FAKE_STATE/installed";; esac; done',
    "apt-get": r"""
for a; do case "$a" in Dir::Etc::SourceList=*) cat "${a#*=}" >"$FAKE_STATE/written";; esac; done
while [ $# -gt 0 ] && [ "$1" != install ] && [ "$1" != download ]; do shift; done
case "${1:-}" in
    install) shift; for p; do case "$p" in -*) ;; *) echo "$p" >>"$FAKE_STATE/installed";; esac; done ;;
    download) touch "${@: -1}_3.0.2-1_all.deb" ;;
esac
""",
}

DEB822 = f"""Types: deb
URIs: https://other.example.test/node
Suites: nodistro
Components: main

Types: deb
URIs: {MIRROR}
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://security.example.test/debian-security
Suites: bookworm-security
Components: main
"""
ONE_LINE = f"deb https://other.example.test/sdk cloud-sdk-bookworm main\ndeb [arch=amd64] {MIRROR} bookworm main\n"
BASE = ["g++", "make"]


def simulate(tmp_path, *, codename, installed, candidates, sources, uid=0, command=None):
    state = tmp_path / "state"
    (state / "apt" / "sources.list.d").mkdir(parents=True)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, body in STAND_INS.items():
        tool = bin_dir / name
        tool.write_text(f'#!/bin/bash\necho "{name} $*" >>"$FAKE_STATE/calls"\n{body}\n')
        tool.chmod(0o755)
    (state / "installed").write_text("".join(p + "\n" for p in installed))
    (state / "candidates").write_text("".join(p + "\n" for p in candidates))
    for name, text in sources.items():
        (state / "apt" / name).write_text(text)
    (state / "os-release").write_text(f"ID=debian\nVERSION_CODENAME={codename}\n")
    env = {
        "PATH": f"{bin_dir}:{os.environ['PATH']}",
        "FAKE_STATE": str(state),
        "FAKE_UID": str(uid),
        "TESSARIN_OS_RELEASE": str(state / "os-release"),
        "HOME": str(tmp_path),
    }
    run = subprocess.run(command or ["bash", str(SETUP), "system"], env=env, capture_output=True, text=True, timeout=60)
    calls = (state / "calls").read_text().splitlines() if (state / "calls").exists() else []
    written = (state / "written").read_text() if (state / "written").exists() else ""
    return run, calls, written


def changes_made(calls, uid):
    """The calls that change the system, in order, in a compact form. For a
    user other than root, each must have come through sudo."""
    made = []
    for i, call in enumerate(calls):
        words = call.split()
        if words[0] not in ("apt-get", "dpkg"):
            continue
        if uid:
            assert i > 0 and calls[i - 1].startswith("sudo ") and calls[i - 1].endswith(call), call
        private = any(w.startswith("Dir::Etc::SourceList=") for w in words)
        words = [w for j, w in enumerate(words) if w != "-o" and (j == 0 or words[j - 1] != "-o")]
        if words[0] == "dpkg":
            words[-1] = Path(words[-1]).name
        made.append(" ".join(words) + (" (private list)" if private else ""))
    return made


INSTALL_BASE = "apt-get install -y -qq --no-install-recommends " + " ".join(BASE)
MACHINES = {
    "debian12-fresh": (
        dict(codename="bookworm", installed=[], candidates=[], sources={"sources.list.d/debian.sources": DEB822}),
        [
            "apt-get update -qq",
            INSTALL_BASE,
            "apt-get update -qq (private list)",
            "apt-get download -qq librapidfuzz-cpp-dev (private list)",
            "dpkg -i librapidfuzz-cpp-dev_3.0.2-1_all.deb",
        ],
    ),
    "debian12-ready": (
        dict(
            codename="bookworm",
            installed=BASE + ["librapidfuzz-cpp-dev"],
            candidates=[],
            sources={"sources.list.d/debian.sources": DEB822},
        ),
        [],
    ),
    "debian13-fresh": (
        dict(
            codename="trixie",
            installed=[],
            candidates=["librapidfuzz-cpp-dev"],
            sources={"sources.list.d/debian.sources": DEB822.replace("bookworm", "trixie")},
        ),
        ["apt-get update -qq", INSTALL_BASE, "apt-get install -y -qq --no-install-recommends librapidfuzz-cpp-dev"],
    ),
    "debian12-user-one-line-sources": (
        dict(codename="bookworm", installed=BASE, candidates=[], sources={"sources.list": ONE_LINE}, uid=1000),
        [
            "apt-get update -qq",
            "apt-get update -qq (private list)",
            "apt-get download -qq librapidfuzz-cpp-dev (private list)",
            "dpkg -i librapidfuzz-cpp-dev_3.0.2-1_all.deb",
        ],
    ),
}


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
@pytest.mark.parametrize("machine", MACHINES)
def test_system_step_on_simulated_machines(tmp_path, machine):
    setup, expected = MACHINES[machine]
    run, calls, written = simulate(tmp_path, **setup)
    assert run.returncode == 0, run.stderr
    assert changes_made(calls, setup.get("uid", 0)) == expected
    # Nothing a user would take for a fault, and no host but the machine's own.
    assert "warn" not in run.stderr.lower() and "W:" not in run.stderr
    hosts = {w for w in (run.stdout + run.stderr + written).split() if "://" in w}
    assert hosts <= {MIRROR}
    if any("private" in c for c in expected):
        assert written.strip() == f"deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] {MIRROR} trixie main"
    installed = (tmp_path / "state" / "installed").read_text().split()
    assert set(BASE + ["librapidfuzz-cpp-dev"]) <= set(installed)


def test_system_step_without_a_debian_mirror(tmp_path):
    run, calls, written = simulate(
        tmp_path,
        codename="bookworm",
        installed=BASE,
        candidates=[],
        sources={"sources.list": "deb https://other.example.test/sdk cloud-sdk-bookworm main\n"},
    )
    assert run.returncode != 0
    errors = [line for line in run.stderr.splitlines() if not line.startswith("==>")]
    assert len(errors) == 1 and "no Debian mirror" in errors[0]
    assert not any(c.startswith(("dpkg ", "sudo dpkg ")) for c in calls) and written == ""


def test_other_first_run_installs_take_the_shared_step(tmp_path):
    # Every script that installs a system package on first use does it through
    # install_packages: the lists refreshed once, then only what is missing,
    # through sudo for a user other than root.
    root = SETUP.parent.parent
    scripts = [p for p in root.glob("*/*.sh") if p.name not in ("lib.sh", "setup.sh")]
    assert [p.name for p in scripts if "apt-get" in p.read_text()] == []
    assert {p.name for p in scripts if "install_packages " in p.read_text()} >= {"valgrind.sh", "sanitize.sh"}
    state = dict(codename="bookworm", installed=["fortunes"], candidates=[], sources={}, uid=1000)
    run, calls, _ = simulate(tmp_path, **state, command=["bash", "-c", f". {root}/scripts/lib.sh; "
                             "install_packages fortunes fortunes-de; install_packages valgrind fortunes"])
    assert run.returncode == 0, run.stderr
    assert changes_made(calls, 1000) == [
        "apt-get update -qq",
        "apt-get install -y -qq --no-install-recommends fortunes-de",
        "apt-get install -y -qq --no-install-recommends valgrind",
    ]
