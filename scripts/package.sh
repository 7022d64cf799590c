#!/usr/bin/env bash
# Makes the Debian package from the install rules and checks it with the tools made for that:
#   scripts/package.sh [build folder, default build]
# Writes alvetra_<version>_amd64.deb into the build folder; non-zero when the package cannot
# be made or a check finds a fault. scripts/setup.sh test installs the tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build"
rm -f "$build"/alvetra_*.deb
if ! report=$(cd "$build" && cpack -G DEB 2>&1); then
    echo "$report" >&2
    exit 1
fi
package=$(ls "$build"/alvetra_*.deb)
echo "$package: $(stat -c %s "$package") bytes," \
    "installed $(dpkg-deb -f "$package" Installed-Size) KiB"

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
dpkg-deb -x "$package" "$tree"

failed=0
fail() { echo "$*" >&2; failed=1; }

# Accepted tags are overridden, each with its reason, in packaging/lintian-overrides.
if ! report=$(lintian --fail-on error,warning "$package" 2>&1); then
    fail "lintian: $report"
fi

for entry in "$tree"/usr/share/applications/*.desktop; do
    if ! report=$(desktop-file-validate "$entry" 2>&1) || [ -n "$report" ]; then
        fail "desktop-file-validate: $report"
    fi
done

# The user unit, checked with the unpacked package as the root. A user manager would need a
# running session, which CI has not, so the system manager reads it, with empty stand-ins for
# the targets every unit is ordered against; its ExecStart must then lead to the program in the
# package. Any word it says is a fault, as with desktop-file-validate.
mkdir -p "$tree/usr/lib/systemd/system"
cp "$tree"/usr/lib/systemd/user/alvetra.service "$tree/usr/lib/systemd/system/" ||
    fail "the package holds no usr/lib/systemd/user/alvetra.service"
for target in sysinit basic shutdown graphical-session; do
    printf '[Unit]\nDescription=%s\n' "$target" >"$tree/usr/lib/systemd/system/$target.target"
done
if ! report=$(systemd-analyze --man=no --root="$tree" verify alvetra.service 2>&1) ||
    [ -n "$report" ]; then
    fail "systemd-analyze verify: $report"
fi

for metainfo in "$tree"/usr/share/metainfo/*.xml; do
    appstreamcli validate --no-net "$metainfo" >/dev/null ||
        fail "$(appstreamcli validate --no-net "$metainfo")"
done

for page in "$tree"/usr/share/man/man1/*.1.gz; do
    if ! report=$(LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 >/dev/null) || [ -n "$report" ]
    then
        fail "man --warnings $(basename "$page"): $report"
    fi
done

[ "$failed" -eq 0 ] && echo "The package passes lintian, desktop-file-validate, systemd-analyze, appstreamcli and man."

# The same rules install to a prefix of the user's own, with no root: the desktop side below
# the prefix, the menu entry naming the program there. Run as an ordinary user when started as
# root, for root may write anywhere.
prefix="$tree/home/alvetra"
mkdir -p "$prefix"
as_user=()
# An ordinary user can only install from a build tree it may read: a project cloned into root's
# own home is not. Then root installs instead, and the list of installed files still shows
# whether anything went outside the prefix.
if [ "$(id -u)" -eq 0 ] && setpriv --reuid=nobody --regid=nogroup --clear-groups \
    test -r "$build/cmake_install.cmake"; then
    chown nobody "$tree/home" "$prefix"
    chmod 755 "$tree"
    # cmake --install writes its list of installed files into the build folder.
    install -o nobody /dev/null "$build/install_manifest.txt"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
if ! report=$("${as_user[@]}" env HOME="$prefix" cmake --install "$build" --prefix "$prefix" 2>&1)
then
    fail "cmake --install --prefix as an ordinary user: $report"
fi
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "cmake --install --prefix installed outside the prefix: $outside"
rm -f "$build/install_manifest.txt"
[ "$(readlink "$prefix/bin/alvetra")" = "$prefix/alvetra" ] && [ -x "$prefix/alvetra" ] ||
    fail "cmake --install --prefix: $prefix/bin/alvetra does not lead to the program"
grep -qx "Exec=$prefix/bin/alvetra" "$prefix/share/applications/alvetra.desktop" ||
    fail "cmake --install --prefix: the menu entry does not start $prefix/bin/alvetra"
if ! report=$(desktop-file-validate "$prefix/share/applications/alvetra.desktop" 2>&1) ||
    [ -n "$report" ]; then
    fail "desktop-file-validate, installed to a prefix: $report"
fi
if [ "$failed" -eq 0 ]; then
    if [ "$(id -u)" -eq 0 ] && [ ${#as_user[@]} -eq 0 ]; then
        echo "The same rules install below a prefix of its own, and nowhere else (as root: the" \
            "build tree is not readable by an ordinary user)."
    else
        echo "An ordinary user installs the same rules below a prefix of their own."
    fi
fi
exit "$failed"
