#!/usr/bin/env bash
# The release as a user gets it: scripts/package.sh makes the .deb and the
# zip; the .deb is unpacked into a scratch root (dpkg -x: the machine's own
# packages stay untouched) and its programs are run from there. The
# installed kelvo serves a download to dlfsim with the build it picks here
# and, where that is the 32-bit one, once more with the 64-bit build that a
# kernel without 32-bit support runs.
#
#   tests/package/package.sh VERSION     (needs a display for Kelvo.exe)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
VERSION="${1:?version}"
source "$ROOT/scripts/env.sh"
source "$ROOT/scripts/drive.sh"
WORK="$(mktemp -d /tmp/kelvo-pkg.XXXXXX)"
R="$WORK/root"
cleanup() {
    jobs -p | xargs -r kill 2>/dev/null
    for p in "$WORK"/data/kelvo*; do WINEPREFIX="$p" "$KELVO_WINESERVER" -k 2>/dev/null; done
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

lint=--no-lint
command -v lintian >/dev/null && lint=
bash "$ROOT/scripts/package.sh" $lint "$WORK/dist" || fail "scripts/package.sh failed"
DEB="$WORK/dist/kelvo_$VERSION-1_$(dpkg --print-architecture).deb"
ZIP="$WORK/dist/kelvo-$VERSION-win32.zip"
dpkg -x "$DEB" "$R" || fail "no $DEB"

# Every program says the one version, and lists in --help exactly the
# options its man page describes under OPTIONS.
opts() { grep -oE '(^|[[:space:][,|(])--?[A-Za-z][A-Za-z0-9-]*' | grep -oE -- '--?[A-Za-z][A-Za-z0-9-]*' | sort -u; }
for tool in kelvo kelvo-cli dlftool dlfsim; do
    got=$("$R/usr/bin/$tool" --version 2>&1)
    [ "$got" = "$tool $VERSION" ] || fail "$tool --version says '$got'"
    diff <("$R/usr/bin/$tool" --help | opts) <(zcat "$R/usr/share/man/man1/$tool.1.gz" | sed -n '/^\.SH OPTIONS/,/^\.SH/{s/\\f[BIRP]//g; s/\\-/-/g; p}' | opts) ||
        fail "$tool: the options of --help (<) and of its man page (>) differ"
done

# The zip carries the 32-bit programs (they run on every Windows), the .deb
# both builds; none needs a runtime DLL beside it.
[ "$(cmake -E tar tf "$ZIP" | LC_ALL=C sort | xargs)" = "Kelvo.exe LICENSE.txt README.txt dlftool.exe kelvo-cli.exe" ] ||
    fail "the zip holds: $(cmake -E tar tf "$ZIP" | xargs)"
mkdir "$WORK/zip" && (cd "$WORK/zip" && cmake -E tar xf "$ZIP")
for exe in "$WORK"/zip/*.exe "$R"/usr/lib/kelvo/{i686,x86_64}/{Kelvo,kelvo-cli,dlftool}.exe; do
    format="file format pei-i386"
    [[ "$exe" == */x86_64/* ]] && format="file format pei-x86-64"
    head=$(x86_64-w64-mingw32-objdump -p "$exe" 2>&1)
    [[ "$head" == *"$format"* ]] || fail "$exe: no $format"
    dlls=$(sed -n 's/.*DLL Name: //p' <<< "$head" | grep -viE '^(kernel32|user32|gdi32|comdlg32|advapi32|msvcrt)\.dll$')
    [ -z "$dlls" ] || fail "$exe needs $dlls"
done
# Its README.txt shows kelvo-cli's usage line and names no option it lacks.
readme=$(sed -n '/^kelvo-cli\.exe\r*$/,/^Licence\r*$/p' "$WORK/zip/README.txt" | tr -d '\r')
grep -qxF "  $("$R/usr/bin/kelvo-cli" --help | sed -n 's/^usage: //p')" <<< "$readme" ||
    fail "README.txt shows no usage line of kelvo-cli"
extra=$(comm -13 <("$R/usr/bin/kelvo-cli" --help | opts) <(opts <<< "$readme"))
[ -z "$extra" ] || fail "README.txt names options kelvo-cli lacks: $extra"

"$R/usr/bin/dlftool" make --sample 3000 -o "$WORK/image.dlf" >/dev/null && "$R/usr/bin/dlftool" check "$WORK/image.dlf" | grep -q ': ok ' ||
    fail "installed dlftool check refuses a good file"

# When no Wine can run Kelvo, the launcher names the cause and the command
# that mends it, and starts nothing. A loader the kernel cannot run fails as
# a 32-bit one does on a kernel without 32-bit support.
mkdir -p "$WORK/nowine" "$WORK/oldkernel"
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' > "$WORK/oldkernel/wine"
chmod 755 "$WORK/oldkernel/wine"
while IFS='|' read -r dir arch want; do
    got=$(HOME="$WORK/home" KELVO_WINE_DIR="$WORK/$dir" KELVO_WIN_ARCH="$arch" "$R/usr/bin/kelvo" --list 2>&1)
    rc=$? want=${want//\$W/$WORK}
    [ $rc = 1 ] && [[ "$got" == *"$want"* ]] || fail "no Wine in $dir, KELVO_WIN_ARCH='$arch': '$got', expected '$want'"
done <<'ROWS'
nowine||32-bit Wine is not installed, and 64-bit Wine is not installed.
nowine||install 64-bit Wine, which runs on every amd64 kernel: apt install wine64
oldkernel||this kernel runs no 32-bit programs ($W/oldkernel/wine: Exec format error), and 64-bit Wine is not installed.
oldkernel|i686|leave KELVO_WIN_ARCH unset and the 64-bit build runs instead.
ROWS
[ ! -e "$WORK/home" ] || fail "a launcher without Wine made $(find "$WORK/home" | head -n 3)"

# serve ARCH [KELVO_WIN_ARCH]: the installed kelvo, started in a folder of
# its own with the target's pseudo terminal mapped by a relative name, picks
# ARCH's build and prefix, makes saveinfo.cfg there, and serves every byte.
serve() {
    local arch=$1 desk="$WORK/desk-$1" prefix="$WORK/data/kelvo" out
    [ "$arch" = x86_64 ] && prefix="$WORK/data/kelvo-win64"
    # kelvo-drive in the launcher's prefix: a 32-bit prefix takes the i686
    # one under 32-bit Wine, a 64-bit prefix that of the tree that runs here.
    local d=("${DRIVE[@]}")
    [ "$arch" = i686 ] && d=("${KELVO_WINE_DIR:-/usr/lib/wine}/wine" "$KELVO_ROOT/build-win-i686/kelvo-drive.exe")
    drive() { WINEPREFIX="$prefix" env -u WINEARCH "${d[@]}" "$@"; }
    mkdir -p "$desk" && cd "$desk" || return 1
    export HOME="$WORK/home" XDG_DATA_HOME="$WORK/data" KELVO_WIN_ARCH="${2:-}"
    out=$("$R/usr/bin/kelvo" --list 2>&1)
    grep -qxF "Mappings in $prefix/dosdevices:" <<< "$out" && grep -q "($arch)" <<< "$out" ||
        fail "kelvo --list: $out"
    [ -f "$prefix/system.reg" ] && [ ! -e "$HOME/.wine" ] || fail "no prefix in $prefix, or one in ~/.wine"
    "$R/usr/bin/dlfsim" --plan auto:1024 "$WORK/image.dlf" > "$desk/sim.out" 2>&1 &
    wait_for_line "$desk/sim.out" '^PTY ' 10 || fail "dlfsim: $(cat "$desk/sim.out")"
    ln -s "$(sed -n 's/^PTY //p' "$desk/sim.out")" "$desk/target"
    "$R/usr/bin/kelvo" --com 2=target > "$desk/kelvo.log" 2>&1 &
    drive wait-window 60000 || fail "no window: $(cat "$desk/kelvo.log")"
    grep -q "($arch) under" "$desk/kelvo.log" || fail "the start-up line: $(cat "$desk/kelvo.log")"
    pgrep -f "kelvo.$arch.Kelvo\.exe" >/dev/null || fail "no $arch Kelvo.exe runs: $(pgrep -af Kelvo.exe)"
    [ "$(readlink "$prefix/dosdevices/com2")" = "$desk/target" ] || fail "COM2 -> $(readlink "$prefix/dosdevices/com2")"
    [ -s saveinfo.cfg ] || fail "installed Kelvo made no saveinfo.cfg in the current directory"
    drive key 03 && drive open-file "Z:${WORK//\//\\}\\image.dlf" 20000 ||
        fail "no file dialog"
    wait_for_line "$desk/sim.out" '^RESULT' 120
    grep -q '^RESULT ok bytes=3004 ' "$desk/sim.out" || fail "$arch: $(cat "$desk/sim.out")"
    [ "$(drive close 10000 | tr -d '\r')" = 0 ] || fail "$arch: Kelvo did not end with 0"
    echo "pkg: the installed kelvo ran the $arch build and served 3004 of 3004 bytes"
    # The same tree's kelvo-cli.exe, under the same Wine and prefix.
    out=$(WINEPREFIX="$prefix" env -u WINEARCH "${d[0]}" "$R/usr/lib/kelvo/$arch/kelvo-cli.exe" --version 2>&1 | tr -d '\r')
    [ "$out" = "kelvo-cli $VERSION" ] || fail "$arch kelvo-cli.exe --version says '$out'"
}

find "$R" | sort > "$WORK/installed"
if kelvo_can_run_32bit; then
    serve i686 || fail "i686"
    serve x86_64 x86_64 || fail "x86_64"
else
    echo "pkg: this kernel runs no 32-bit programs: the 32-bit build is checked for its format only"
    serve x86_64 || fail "x86_64"
fi
diff "$WORK/installed" <(find "$R" | sort) || fail "the launcher wrote into the installed tree"
