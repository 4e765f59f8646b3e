#!/bin/bash
# Kestrune installed the usual way, used as a user who cannot write where it
# is installed: installed into a folder (by `cmake --install`, or from the
# Debian package), made read-only, started through the real window (Xvfb,
# driven by xdotool) with a MIDI file on its command line, a recording made
# and the window closed. The recording, the settings file and the user's
# copy of the templates must be where a Linux desktop program keeps them,
# and nothing written under the install. Then the same program as a portable
# copy, which keeps everything beside itself.
#
#   install_test.sh BUILD_DIR SOURCE_DIR cmake|deb
set -euo pipefail

build=$(realpath "$1")
source=$(realpath "$2")
mode=$3
work=$(mktemp -d /tmp/kestrune-install-XXXXXX)
xvfb=
program=

finish() {
    [ -n "$program" ] && kill "$program" 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap finish EXIT

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# --- Install -------------------------------------------------------------------
root=$work/root
case $mode in
cmake)
    DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
    ;;
deb)
    # The package is built from a copy of the tree, as a packager would.
    mkdir -p "$work/package/kestrune"
    git -C "$source" ls-files -z --cached --others --exclude-standard |
        (cd "$source" && xargs -0 tar cf -) | tar xf - -C "$work/package/kestrune"
    (cd "$work/package/kestrune" && dpkg-buildpackage -us -uc -b >"$work/package/build.log" 2>&1) ||
        { tail -30 "$work/package/build.log"; fail "dpkg-buildpackage"; }
    window=$(ls "$work"/package/kestrune_*.deb)
    render=$(ls "$work"/package/kestrune-render_*.deb)
    # Read whole first: grep -q stops reading at its match, and with pipefail
    # the writer's SIGPIPE would fail a package that is right.
    info=$(dpkg-deb -I "$render")
    grep -q "Depends:.*libfluidsynth3" <<<"$info" || fail "kestrune-render's dependencies miss the shared libraries"
    grep -q "Depends:.*libogg0" <<<"$info" || fail "kestrune-render's dependencies miss libogg"
    ! grep -Eqi "Depends:.*(qt6|libx11|libegl|libgl|wayland)" <<<"$info" ||
        fail "kestrune-render depends on a desktop library: $(grep Depends: <<<"$info")"
    contents=$(dpkg-deb -c "$render")
    ! grep -Eq "Kestrune$|kestrune-devices|binlib" <<<"$contents" || fail "kestrune-render holds the window's files"
    info=$(dpkg-deb -I "$window")
    grep -q "Depends:.*kestrune-render (= " <<<"$info" || fail "kestrune does not depend on kestrune-render"
    grep -q "Depends:.*libqt6widgets6" <<<"$info" || fail "kestrune's dependencies miss Qt"
    dpkg-deb -x "$render" "$root"
    dpkg-deb -x "$window" "$root"
    # Kept for the test of the container's contents.
    rm -rf "$build/packages" && mkdir -p "$build/packages" && cp "$render" "$window" "$build/packages/"
    ;;
*)
    fail "mode $mode"
    ;;
esac

for file in usr/bin/Kestrune usr/bin/kestrune-render usr/bin/kestrune-devices \
    usr/share/kestrune/binlib/KWQF0000.bin usr/share/kestrune/binlib/KWQF0011.bin \
    usr/share/applications/org.kestrune.Kestrune.desktop \
    usr/share/applications/org.kestrune.KestruneDevices.desktop \
    usr/share/metainfo/org.kestrune.Kestrune.metainfo.xml \
    usr/share/icons/hicolor/48x48/apps/org.kestrune.Kestrune.png \
    usr/share/icons/hicolor/256x256/apps/org.kestrune.Kestrune.png; do
    [ -f "$root/$file" ] || fail "$file is not installed"
done
for page in Kestrune kestrune-render kestrune-devices; do
    ls "$root"/usr/share/man/man1/$page.1* >/dev/null 2>&1 || fail "the manual page $page is not installed"
done
grep -q '^MimeType=audio/midi;audio/x-midi;' "$root/usr/share/applications/org.kestrune.Kestrune.desktop" ||
    fail "the desktop entry does not open MIDI files"
desktop-file-validate "$root"/usr/share/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.kestrune.Kestrune.metainfo.xml" >/dev/null ||
    fail "appstreamcli validate"

# --- A user who cannot write there ---------------------------------------------------
chmod -R a-w "$root"
touch "$work/marker"
sleep 1
if [ "$(id -u)" = 0 ]; then
    user=nobody
    as_user() { setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"; }
else
    user=$(id -un)
    as_user() { "$@"; }
fi
home=$work/home
mkdir -p "$home/music" "$work/run"
chmod 700 "$work/run"
# A song of a second: two notes on a piano.
/usr/bin/python3 - "$home/music/song.mid" <<'PY'
import struct, sys
track = bytes([0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x00, 0xC0, 0x00,
               0x00, 0x90, 60, 100, 0x83, 0x60, 0x80, 60, 0, 0x00, 0x90, 67, 100,
               0x83, 0x60, 0x80, 67, 0, 0x00, 0xFF, 0x2F, 0x00])
with open(sys.argv[1], "wb") as f:
    f.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, 480))
    f.write(b"MTrk" + struct.pack(">I", len(track)) + track)
PY
chmod 755 "$work"
chown -R "$user" "$home" "$work/run" 2>/dev/null || true

exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -ac -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
display=:$(cat "$work/display")

# Clicks a point of the designed layout (96 dpi, font 12 px high) in the
# window titled "Kestrune v0.3", whose size says how the layout was scaled.
click() {
    local design_width=$1 x=$2 y=$3 window width
    window=$(DISPLAY=$display xdotool search --sync --onlyvisible --name '^Kestrune v0\.3$' | tail -1)
    width=$(DISPLAY=$display xdotool getwindowgeometry --shell "$window" | sed -n 's/^WIDTH=//p')
    DISPLAY=$display xdotool mousemove --window "$window" \
        $((x * width / design_width)) $((y * width / design_width)) click 1
}

# Runs the program in `folder` on the song, records, closes the recording
# screen, quits; the recording must be saved.
record_with() {
    local binary=$1
    rm -f "$home/music/song.wav"
    # (A sanitizer build's own settings go through.)
    as_user env -i HOME="$home" XDG_RUNTIME_DIR="$work/run" DISPLAY="$display" \
        PATH=/usr/bin:/bin LANG=C.UTF-8 QT_QPA_PLATFORM=xcb ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} \
        "$binary" "$home/music/song.mid" \
        >"$work/program.log" 2>&1 &
    program=$!
    sleep 2
    # Started on the recording screen with the song chosen: "Record" works.
    click 404 202 75
    # The recording is saved once it holds more than the template's header.
    for _ in $(seq 150); do
        [ -f "$home/music/song.wav" ] && [ "$(stat -c %s "$home/music/song.wav")" -gt 100000 ] && break
        sleep 0.1
    done
    sleep 1
    [ "$(stat -c %s "$home/music/song.wav" 2>/dev/null || echo 0)" -gt 100000 ] ||
        { cat "$work/program.log"; fail "no recording was made by $binary"; }
    click 404 333 75 # "Close": the settings are stored, back to the title
    sleep 1
    click 352 280 105 # "Quit"
    for _ in $(seq 100); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
    local status=0
    wait "$program" || status=$?
    [ "$status" = 0 ] || { tail -20 "$work/program.log"; fail "$binary ended with status $status"; }
    program=
}

record_with "$root/usr/bin/Kestrune"
[ -f "$home/.config/Kestrune/Kestrune.ini" ] || fail "no settings in ~/.config/Kestrune"
grep -q '^\[Kestrune v0.3\]' "$home/.config/Kestrune/Kestrune.ini" || fail "the settings file has no section"
[ "$(ls "$home/.local/share/Kestrune/binlib" | grep -c '^KWQF00..\.bin$')" = 12 ] ||
    fail "the templates are not in ~/.local/share/Kestrune/binlib"
changed=$(find "$root" -newer "$work/marker" | head -5)
[ -z "$changed" ] || fail "written under the install: $changed"

# --- The portable case: a writable folder of its own keeps everything beside it.
portable=$work/portable
mkdir -p "$portable"
cp "$root/usr/bin/Kestrune" "$portable/"
cp -r "$root/usr/share/kestrune/binlib" "$portable/"
chmod -R u+w "$portable"
chown -R "$user" "$portable" 2>/dev/null || true
rm -rf "$home/.config" "$home/.local"
record_with "$portable/Kestrune"
[ -f "$portable/Kestrune.ini" ] || fail "the portable copy keeps no settings beside itself"
[ ! -e "$home/.config/Kestrune" ] || fail "the portable copy wrote into ~/.config"
[ ! -e "$home/.local/share/Kestrune" ] || fail "the portable copy wrote into ~/.local/share"
echo "installed ($mode) and portable: recorded, settings and templates in their places"
