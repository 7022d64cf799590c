#!/usr/bin/env bash
# Installs the Debian packages that are missing, then configures and builds Alvetra in build/.
#   scripts/setup.sh run    what building and running needs; builds the program and the line
#                           simulator only
#   scripts/setup.sh test   that, and what the tests, benchmarks and fuzzers need; builds all
set -euo pipefail

mode=${1:-run}
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-serialport-dev qt6-multimedia-dev qt6-qpa-plugins
    libqt6sql6-sqlite libqt6sql6-psql libpq-dev
    libx11-dev libsystemd-dev
    fonts-dejavu-core
)
if [ "$mode" = test ]; then
    packages+=(
        clang libclang-rt-14-dev clang-format libbenchmark-dev
        xvfb xauth
        cups cups-client cups-filters poppler-utils
        libreoffice-writer-nogui
        pulseaudio pulseaudio-utils
        dpkg-dev file lintian desktop-file-utils appstream man-db
        systemd dbus
        python3-prometheus-client
        postgresql postgresql-contrib
    )
fi
# Extra packages a part of the project needs, one name a line (see scripts/packages-*.txt).
for list in "$root"/scripts/packages-"$mode".txt "$root"/scripts/packages-run.txt; do
    [ -f "$list" ] && while read -r name; do
        case "$name" in ''|'#'*) ;; *) packages+=("$name") ;; esac
    done <"$list"
done

missing=()
for name in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$name")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

build="$root/build"
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Running needs the program and the line simulator (the demo is a script around both); the
# tests, benchmarks' helpers and package icons are most of the targets, and wait for test.sh.
if [ "$mode" = test ]; then
    cmake --build "$build"
else
    cmake --build "$build" --target alvetra alvetra-linesim
fi
