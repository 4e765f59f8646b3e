#!/bin/bash
# The container's contents tried for real, without a container runtime: a
# bare Debian 12 made from Debian's mirror (mmdebstrap --variant=minbase),
# the kestrune-render package installed into it with apt exactly as
# deploy/container/Dockerfile installs it, and a real song rendered inside
# it through chroot, as an unprivileged user, with no network. Prints what
# the package added to the bare system. Skips (77) without mmdebstrap or
# root; the package comes from package_test.
#
#   container_test.sh PACKAGES_DIR SOURCE_DIR
set -euo pipefail

packages=$(realpath "$1")
source=$(realpath "$2")
skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ "$(id -u)" = 0 ] || skip "the bare system is made and entered as root"
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed (scripts/install-deps installs it)"
deb=$(ls "$packages"/kestrune-render_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { echo "FAILED: no kestrune-render package in $packages"; exit 1; }

work=$(mktemp -d /tmp/kestrune-container-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
root=$work/root
cp "$deb" "$work/"

# The install line of the container file, as it stands there.
install=$(sed -n '/apt-get install/,/rm -rf/p' "$source/deploy/container/Dockerfile" |
    sed 's/\\$//; s/&& rm -rf.*//; s/&&//' | tr -s ' \n' ' ')
grep -q "kestrune-render_\*.deb" <<<"$install" || fail "the container file installs no kestrune-render package"

# A bare Debian 12 (with passwd, as the debian:12 image has, for useradd),
# measured before and after; the package and its dependencies installed by
# the container file's own command, and its user made.
mmdebstrap --variant=minbase --include=passwd --quiet \
    --customize-hook='chroot "$1" apt-get clean && du -sxk "$1" | cut -f1 > "$1/../bare"' \
    --customize-hook="copy-in $work/$(basename "$deb") /tmp" \
    --customize-hook="chroot \"\$1\" sh -c 'apt-get update -qq && $install'" \
    --customize-hook='chroot "$1" useradd --create-home --uid 1000 render' \
    --customize-hook='chroot "$1" apt-get clean && du -sxk "$1" | cut -f1 > "$1/../installed"' \
    bookworm "$root" http://deb.debian.org/debian >"$work/mmdebstrap.log" 2>&1 ||
    { tail -30 "$work/mmdebstrap.log"; fail "mmdebstrap"; }
added=$((($(cat "$work/installed") - $(cat "$work/bare")) / 1024))
echo "kestrune-render adds $added MB to a bare Debian 12 (at most 150)"
[ "$added" -le 150 ] || fail "kestrune-render adds $added MB to a bare Debian 12, more than 150"
# No desktop came with it.
desktop=$(find "$root/usr/lib" -name 'libQt6*' -o -name 'libLLVM*' -o -name 'libGLX*' -o -name 'libEGL*' | head -3)
[ -z "$desktop" ] || fail "desktop libraries came with it: $desktop"

# A song of a second, rendered as the container's user would, with no network.
/usr/bin/python3 - "$root/home/render/song.mid" <<'PY'
import struct, sys
track = bytes([0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xC0, 0x00,
               0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0, 0x00, 0x90, 67, 100,
               0x83, 0x60, 0x80, 67, 0, 0x00, 0xFF, 0x2F, 0x00])
with open(sys.argv[1], "wb") as f:
    f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
    f.write(b"MTrk" + struct.pack(">I", len(track)) + track)
PY
chown 1000:1000 "$root/home/render/song.mid"
unshare --net chroot --userspec=1000:1000 "$root" \
    env -i HOME=/home/render PATH=/usr/bin:/bin sh -c \
    'cd /home/render && kestrune-render -q 0 --tail 1 --format flac -o out song.mid' \
    >"$work/render.log" 2>&1 || { cat "$work/render.log"; fail "kestrune-render in the bare system"; }
frames=$(soxi -s "$root/home/render/out/song.flac") || fail "no recording"
[ "$frames" = 88200 ] || fail "the recording holds $frames frames, not 88200"
echo "rendered inside the bare system: $frames frames, as user 1000, with no network"
