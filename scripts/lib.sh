# Shell helpers shared by the project's scripts; sourced, never run.
# Everything that installs a system package goes through install_packages,
# so that a first run and a later one take the same road.

say() { printf '==> %s\n' "$*" >&2; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

have_packages() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || return 1
    done
}

# apt's package lists may be missing or stale on a fresh machine: refresh
# them once per run, and only when something is to be installed.
apt_lists_fresh=
refresh_apt_lists() {
    [ -n "$apt_lists_fresh" ] && return
    say "refreshing the apt package lists"
    as_root apt-get update -qq
    apt_lists_fresh=1
}

# Installs the named Debian packages that are not installed yet.
install_packages() {
    local missing=() p
    for p in "$@"; do
        have_packages "$p" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    refresh_apt_lists
    say "installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# Installs requirements (pip's arguments) into the environment of PYTHON,
# without byte-compiling them: pip compiles every module of every package
# (pandas, dask, mypy, ...), of which the tests import a small part, and what
# they import is compiled at its first import anyway. The test requirements
# took 20 s of CPU to install with it, 8 s without.
install_requirements() {
    local python=$1
    shift
    "$python" -m pip install -q --no-compile "$@"
}

# The interpreter a fresh virtual environment is made from: the one that
# made .venv, so that every environment of the project runs the same Python.
base_python() {
    "$1/bin/python" -c 'import sys; print(sys._base_executable)'
}

# The CPython versions that the module is built for, the default first.
supported_pythons=(3.12 3.13)

# "X.Y" of the interpreter PYTHON.
python_version() {
    "$1" -c 'import sys; print("{}.{}".format(*sys.version_info[:2]))'
}

# Prints the path of an interpreter that can build and test the module for
# CPython VERSION (X.Y): that version, with the GIL, with its C headers and
# its venv module. The CANDIDATES named are tried in turn; by default PYTHON,
# python X.Y on the path (a pyenv shim there that cannot run by itself is
# passed over), the newest pyenv build and the system's. A virtual
# environment's interpreter stands for the one it was made from, whose path
# is printed. Fails silently when none will do.
#   find_interpreter VERSION [CANDIDATE...]
find_interpreter() {
    local version=$1 candidate candidates
    shift
    if [ $# -gt 0 ]; then
        candidates=("$@")
    else
        candidates=("${PYTHON:-}" "python$version")
        mapfile -t -O 2 candidates < <(find "${PYENV_ROOT:-$HOME/.pyenv}/versions" -maxdepth 3 \
            -path "*/versions/$version.*/bin/python$version" 2>/dev/null | sort -rV)
        candidates+=("/usr/bin/python$version")
    fi
    for candidate in "${candidates[@]}"; do
        [ -n "$candidate" ] && command -v "$candidate" >/dev/null 2>&1 || continue
        if "$candidate" - "$version" 2>/dev/null <<'PY'
import ensurepip, os, sys, sysconfig, venv
wanted = tuple(int(part) for part in sys.argv[1].split("."))
headers = os.path.join(sysconfig.get_paths()["include"], "Python.h")
if (sys.implementation.name != "cpython" or sys.version_info[:2] != wanted or
        sysconfig.get_config_var("Py_GIL_DISABLED") or not os.path.isfile(headers)):
    sys.exit(1)
print(sys._base_executable)
PY
        then
            return 0
        fi
    done
    return 1
}
