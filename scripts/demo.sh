#!/usr/bin/env bash
# Alvetra with the line simulator feeding it EDIS messages, so that messages arrive and pass
# in the window without a receiver: ./run.sh --demo
# Everything lives under build/demo (or $ALVETRA_BUILD_DIR/demo): its own settings folder and working directory (flt.dat,
# the output line's capture), never the user's. Closing the window ends both programs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ALVETRA_BUILD_DIR:-$root/build}
program=$build/Alvetra
demo=$build/demo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "The demo needs a graphical display and none was found; without one, run it under a virtual display: xvfb-run -a ./run.sh --demo" >&2
    exit 1
fi

mkdir -p "$demo/config/Dorvane" "$demo/work"
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

"$program/alvetra-linesim" --repeat 0 --pause 1500 --capture "$demo/work/output-line.txt" \
    >"$demo/lines" &
simulator=$!
trap 'kill "$simulator" 2>/dev/null || true; wait "$simulator" 2>/dev/null || true' EXIT

for _ in $(seq 50); do
    grep -q '^output ' "$demo/lines" 2>/dev/null && break
    sleep 0.1
done
input=$(awk '$1 == "input" { print $2 }' "$demo/lines")
output=$(awk '$1 == "output" { print $2 }' "$demo/lines")
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
echo "      into $demo/work/output-line.txt. Close the window to end the demo."
status=0
"$program/alvetra" "$@" || status=$?
exit "$status"
