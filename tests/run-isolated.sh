#!/bin/sh
# Runs one test in a temporary folder and on a session bus of its own, so that no test touches
# the user's settings, flt.dat, files or desktop, and no two tests touch each other's.
set -eu
scratch=$(mktemp -d "${TMPDIR:-/tmp}/alvetra-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/config" "$scratch/runtime" "$scratch/work"
chmod 700 "$scratch/runtime"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime"
export HOME="$scratch"
cd "$scratch/work"
# A session bus of its own too: the notifications one test sends must not reach another test's
# notification server, nor one test's single-instance name another's program.
if command -v dbus-run-session >/dev/null 2>&1; then
    dbus-run-session -- "$@"
else
    "$@"
fi
