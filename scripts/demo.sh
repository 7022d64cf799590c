#!/usr/bin/env bash
# Alvetra with the line simulator feeding it EDIS messages, so that messages arrive and pass
# in the window without a receiver: ./run.sh --demo in the source tree, alvetra-demo once the
# package is installed. The demo keeps its own settings folder and working directory (flt.dat,
# the output line's capture), never the user's: under build/demo (or $ALVETRA_BUILD_DIR/demo)
# in the source tree, under ~/.cache/alvetra-demo when installed. Closing the window ends both
# programs.
set -euo pipefail
here=$(dirname "$(readlink -f "$0")")
if [ -x "$here/alvetra" ] && [ -x "$here/alvetra-linesim" ]; then
    # Installed beside the programs, reached through the link on the PATH.
    installed=$here
    demo=${XDG_CACHE_HOME:-$HOME/.cache}/alvetra-demo
    program=$demo/program
else
    installed=
    build=${ALVETRA_BUILD_DIR:-$here/../build}
    program=$build/Alvetra
    demo=$build/demo
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    command=./run.sh\ --demo
    [ -z "$installed" ] || command=alvetra-demo
    echo "The demo needs a graphical display and none was found; without one, run it under a virtual display: xvfb-run -a $command" >&2
    exit 1
fi

mkdir -p "$demo/config/Dorvane" "$demo/work"
if [ -n "$installed" ]; then
    # Alvetra writes passed messages into Received/ beside its own executable. A copy of the
    # program in the demo folder keeps the demo's messages out of the station's Received/,
    # which an operator would take for real alerts.
    mkdir -p "$program/Received"
    # Replaced, not overwritten, after an upgrade: another demo may be running the old copy.
    if ! cmp -s "$installed/alvetra" "$program/alvetra"; then
        cp "$installed/alvetra" "$program/alvetra.new"
        mv -f "$program/alvetra.new" "$program/alvetra"
    fi
    ln -sfn "$installed/Help" "$program/Help"
    ln -sfn "$installed/sounds" "$program/sounds"
fi
export XDG_CONFIG_HOME=$demo/config
cd "$demo/work"

# flt.dat: every byte of the plain stream XOR 0xA7. Passes handling a to d, every region but
# 6c and every source but w: most of the simulator's messages, and the damaged ones, pass.
write_filter() {
    local plain=() regions=(0- 1a 1b 2a 2b 2c 3- 4a 4b 5a 5b 6a 6b) code byte i
    text() { plain+=(${#1}); for ((i = 0; i < ${#1}; i++)); do plain+=("'${1:i:1}"); done; }
    text abcd
    plain+=(${#regions[@]} 0)
    for code in "${regions[@]}"; do text "$code"; done
    text loqsc
    plain+=(0 0 0 0)
    for byte in "${plain[@]}"; do
        printf -v byte '%d' "$byte"
        printf %b "\\x$(printf %02x $((byte ^ 0xA7)))"
    done >flt.dat
}
write_filter

"${installed:-$program}/alvetra-linesim" --repeat 0 --pause 1500 \
    --capture "$demo/work/output-line.txt" >"$demo/lines" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true' EXIT

for _ in $(seq 50); do
    grep -q '^output ' "$demo/lines" 2>/dev/null && break
    sleep 0.1
done
input='' output=''
while read -r kind device; do
    case "$kind" in
    input) input=$device ;;
    output) output=$device ;;
    esac
done <"$demo/lines"
if [ -z "$input" ] || [ -z "$output" ]; then
    echo "The line simulator did not start." >&2
    exit 1
fi

# COM2 is the input line, COM1 the output line, as Alvetra's defaults have them. No printing.
cat >"$demo/config/Dorvane/Alvetra.conf" <<CONF
[Settings]
InSerialPort=2
OutSerialPort=1
SerialPortRecoverTime=1000
Sendtofile=1
Sendtoprinter=0
Sendtoport=1

[Ports]
COM2=$input
COM1=$output
CONF

echo "Demo: messages arrive on $input (COM2); forwarded ones are captured from $output (COM1)"
echo "      into $demo/work/output-line.txt; passed ones are written to $program/Received."
echo "      Close the window to end the demo."
status=0
"$program/alvetra" "$@" || status=$?
exit "$status"
