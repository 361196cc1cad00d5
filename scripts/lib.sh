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

# The interpreter a fresh virtual environment is made from: the one that
# made .venv, so that every environment of the project runs the same Python.
base_python() {
    "$1/bin/python" -c 'import sys; print(sys._base_executable)'
}
