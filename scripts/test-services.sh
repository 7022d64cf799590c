#!/usr/bin/env bash
# Sourced by test.sh before the tests: starts the real peers that the tests print and play on,
# when none runs. There is no init system on CI, so the daemons are started by hand here.
#
# - CUPS: the printing tests add a queue of their own (the generic PDF driver writing into a
#   file of the test's folder) and remove it again, so the machine's printers stay as they
#   were. A file device needs "FileDevice Yes", which this script switches on.
# - PulseAudio: the sound tests start a server of their own with a null sink, so nothing is
#   needed here beyond the packages.

# lpstat -r exits 0 whether or not the scheduler runs; only its words tell.
alvetra_cups_runs() { [ "$(lpstat -r 2>/dev/null)" = "scheduler is running" ]; }

alvetra_start_cups() {
    if ! command -v cupsd >/dev/null 2>&1; then
        echo "cupsd is not installed: the printing tests will skip"
        return 0
    fi
    local files_conf=/etc/cups/cups-files.conf
    if [ -w "$files_conf" ] && ! grep -q '^FileDevice[[:space:]]\+Yes' "$files_conf"; then
        echo "FileDevice Yes" >>"$files_conf"
        # A running scheduler reads the setting only when it starts.
        if pgrep -x cupsd >/dev/null 2>&1; then
            if command -v systemctl >/dev/null 2>&1 && systemctl is-active -q cups 2>/dev/null; then
                systemctl restart cups
            else
                kill -TERM "$(pgrep -x cupsd | head -1)" 2>/dev/null || true
                for _ in $(seq 50); do pgrep -x cupsd >/dev/null || break; sleep 0.1; done
            fi
        fi
    fi
    if ! alvetra_cups_runs; then
        cupsd || { echo "cupsd did not start: the printing tests will skip"; return 0; }
        for _ in $(seq 100); do alvetra_cups_runs && break; sleep 0.1; done
    fi
    lpstat -r || true
}

if [ "$(id -u)" -eq 0 ]; then
    alvetra_start_cups
else
    alvetra_cups_runs || echo "No CUPS scheduler runs and this is not root: the printing tests will skip"
fi
unset -f alvetra_start_cups alvetra_cups_runs
