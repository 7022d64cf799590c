#!/usr/bin/env bash
# Installs what is missing, builds and starts Alvetra.
#   ./run.sh [alvetra's own arguments]
#   ./run.sh --demo     Alvetra with the line simulator feeding it messages
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh run

if [ "${1:-}" = --demo ]; then
    shift
    exec scripts/demo.sh "$@"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Alvetra needs a graphical display and none was found; without one, run it under a virtual display: xvfb-run -a ./run.sh" >&2
    exit 1
fi
exec build/Alvetra/alvetra "$@"
