#!/bin/sh
# Runs one test in a temporary folder of its own, so that no test touches the user's
# settings, flt.dat or files, and no two tests touch each other's.
set -eu
scratch=$(mktemp -d "${TMPDIR:-/tmp}/alvetra-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/config" "$scratch/runtime" "$scratch/work"
chmod 700 "$scratch/runtime"
export XDG_CONFIG_HOME="$scratch/config"
export XDG_RUNTIME_DIR="$scratch/runtime"
export HOME="$scratch"
cd "$scratch/work"
"$@"
