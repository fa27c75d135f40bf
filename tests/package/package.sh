#!/usr/bin/env bash
# The release as a user gets it: scripts/package.sh makes the .deb and the
# zip; the .deb is unpacked into a scratch root (dpkg -x: the machine's own
# packages stay untouched) and its programs are run from there.
#
#   tests/package/package.sh VERSION     (needs a display for Kelvo.exe)
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
VERSION="${1:?version}"
WORK="$(mktemp -d /tmp/kelvo-pkg.XXXXXX)"
R="$WORK/root"
trap 'WINEPREFIX="$WORK/data/kelvo" /usr/lib/wine/wineserver32 -k 2>/dev/null; rm -rf "$WORK"' EXIT
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

printf 'firmware image' > "$WORK/image.bin"
"$R/usr/bin/dlftool" make "$WORK/image.bin" -o "$WORK/image.dlf" || fail "installed dlftool make"
[[ "$("$R/usr/bin/dlftool" check "$WORK/image.dlf")" == *": ok "* ]] || fail "installed dlftool check refuses a good file"

# The launcher keeps its prefix in the user's data directory, writes nothing
# where it is installed and runs Kelvo in the current directory.
export HOME="$WORK/home" XDG_DATA_HOME="$WORK/data"
mkdir -p "$WORK/desk" && cd "$WORK/desk" || exit 1
find "$R" | sort > "$WORK/installed"
list=$("$R/usr/bin/kelvo" --list 2>&1)
grep -qxF "Mappings in $WORK/data/kelvo/dosdevices:" <<< "$list" || fail "kelvo --list: $list"
[ -f "$WORK/data/kelvo/system.reg" ] && [ ! -e "$HOME/.wine" ] || fail "no prefix in $WORK/data/kelvo, or one in ~/.wine"
"$R/usr/bin/kelvo" > "$WORK/kelvo.log" 2>&1 &
timeout 120 bash -c 'until [ -s saveinfo.cfg ]; do sleep 0.5; done' ||
    fail "installed Kelvo made no saveinfo.cfg in the current directory: $(cat "$WORK/kelvo.log")"
diff "$WORK/installed" <(find "$R" | sort) || fail "the launcher wrote into the installed tree"

# Both packages carry 32-bit programs that need no runtime DLL beside them.
[ "$(cmake -E tar tf "$ZIP" | LC_ALL=C sort | xargs)" = "Kelvo.exe LICENSE.txt README.txt dlftool.exe" ] ||
    fail "the zip holds: $(cmake -E tar tf "$ZIP" | xargs)"
mkdir "$WORK/zip" && (cd "$WORK/zip" && cmake -E tar xf "$ZIP")
for exe in "$WORK"/zip/*.exe "$R"/usr/lib/kelvo/*.exe; do
    head=$(i686-w64-mingw32-objdump -p "$exe")
    [[ "$head" == *"file format pei-i386"* ]] || fail "$exe is not a 32-bit program"
    dlls=$(sed -n 's/.*DLL Name: //p' <<< "$head" | grep -viE '^(kernel32|user32|gdi32|comdlg32|msvcrt)\.dll$')
    [ -z "$dlls" ] || fail "$exe needs $dlls"
done
