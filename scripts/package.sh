#!/usr/bin/env bash
# Builds Kelvo and makes the two things people install:
#
#   dist/kelvo_<version>-1_<arch>.deb   kelvo-cli, dlftool, dlfsim and the kelvo
#                                       launcher in /usr/bin; Kelvo.exe,
#                                       kelvo-cli.exe and dlftool.exe built for
#                                       32-bit Windows in /usr/lib/kelvo/i686 and
#                                       for 64-bit Windows in /usr/lib/kelvo/x86_64
#                                       (to copy to the Windows machines served
#                                       from Linux); man pages
#   dist/kelvo-<version>-win32.zip      the 32-bit Kelvo.exe, kelvo-cli.exe and
#                                       dlftool.exe (they run on every Windows),
#                                       README.txt, LICENSE.txt
#
#   scripts/package.sh [--no-lint] [OUTDIR]
#
# The .deb is put together from a staged tree with dpkg-deb rather than CPack:
# its files come from two build trees (the native tools and the cross-compiled
# Kelvo.exe), which CPack, packaging one tree, cannot join; here every file and
# every control field is in plain sight. Unless --no-lint is given, lintian
# checks the package (it is installed on first use) and any error fails the run.
set -euo pipefail
LINT=1
[ "${1:-}" = --no-lint ] && { LINT=0; shift; }
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="$(mkdir -p "${1:-$ROOT/dist}" && cd "${1:-$ROOT/dist}" && pwd)"
cd "$ROOT"

bash scripts/setup.sh
source scripts/env.sh
source scripts/trees.sh
echo "package: building"
kelvo_build all || { echo "package: build failed" >&2; exit 1; }

VERSION=$(sed -n 's/^#define KELVO_VERSION "\(.*\)"$/\1/p' "$KELVO_HOST_BUILD/generated/kelvo_version.h")
REVISION=1
ARCH=$(dpkg --print-architecture)
MAINTAINER="Kelvo developers <kelvo-dev@example.org>"
# Timestamps inside the packages are the last commit's, so that the same
# sources give the same packages.
export SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
DATE=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%d)
STAGE=$(mktemp -d /tmp/kelvo-package.XXXXXX)
trap 'rm -rf "$STAGE"' EXIT

# Fills the placeholders of the text sources with this release's values.
stamp() { sed -e "s/@VERSION@/$VERSION/g" -e "s/@DATE@/$DATE/g" "$1"; }

echo "package: kelvo_$VERSION-${REVISION}_$ARCH.deb"
DEB="$STAGE/deb"
install -d "$DEB/DEBIAN" "$DEB/usr/bin" "$DEB/usr/lib/kelvo/i686" "$DEB/usr/lib/kelvo/x86_64" \
    "$DEB/usr/share/kelvo" "$DEB/usr/share/man/man1" "$DEB/usr/share/doc/kelvo/examples"
for tool in kelvo-cli dlftool dlfsim; do
    install -m755 "$KELVO_HOST_BUILD/bin/$tool" "$DEB/usr/bin/$tool"
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$DEB/usr/bin/$tool"
done
sed "s/^KELVO_VERSION=$/KELVO_VERSION=$VERSION/" kelvo > "$DEB/usr/bin/kelvo"
chmod 755 "$DEB/usr/bin/kelvo"
install -m644 scripts/wine-pick.sh "$DEB/usr/share/kelvo/wine-pick.sh"
for tree in i686 x86_64; do
    for exe in Kelvo.exe kelvo-cli.exe dlftool.exe; do
        install -m644 "$KELVO_ROOT/build-win-$tree/$exe" "$DEB/usr/lib/kelvo/$tree/$exe"
        $tree-w64-mingw32-strip "$DEB/usr/lib/kelvo/$tree/$exe"
    done
done
for page in packaging/man/*.1; do
    stamp "$page" | gzip -9n > "$DEB/usr/share/man/man1/$(basename "$page").gz"
done
install -m644 packaging/60-kelvo-serial.rules "$DEB/usr/share/doc/kelvo/examples/"
{
    printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n'
    printf 'Upstream-Name: Kelvo\n\nFiles: *\nCopyright: 2026 the Kelvo developers\nLicense: Expat\n'
    sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
} > "$DEB/usr/share/doc/kelvo/copyright"
printf 'kelvo (%s-%s) unstable; urgency=medium\n\n  * Kelvo %s.\n\n -- %s  %s\n' \
    "$VERSION" "$REVISION" "$VERSION" "$MAINTAINER" "$(date -R -u -d "@$SOURCE_DATE_EPOCH")" |
    gzip -9n > "$DEB/usr/share/doc/kelvo/changelog.Debian.gz"

# The libraries the native tools link, as dpkg-shlibdeps names them; it wants
# a debian/control to read, which a scratch folder provides.
mkdir -p "$STAGE/src/debian"
printf 'Source: kelvo\n\nPackage: kelvo\nArchitecture: any\n' > "$STAGE/src/debian/control"
SHLIBS=$(cd "$STAGE/src" && dpkg-shlibdeps -O "$DEB/usr/bin/kelvo-cli" "$DEB/usr/bin/dlftool" \
             "$DEB/usr/bin/dlfsim" | sed -n 's/^shlibs:Depends=//p')
[ -n "$SHLIBS" ] || { echo "package: dpkg-shlibdeps found no libraries" >&2; exit 1; }
# The launcher runs the 32-bit Kelvo.exe under wine32 where the kernel runs
# 32-bit code, the 64-bit one under wine64 elsewhere. On amd64 wine64 works on
# every kernel, so it is what the package depends on; wine32 (the i386
# package, Multi-Arch: foreign) is recommended and taken where the i386
# architecture has been added.
WINE_FIELDS="Depends: $SHLIBS, wine, wine32"
[ "$ARCH" = amd64 ] && WINE_FIELDS="Depends: $SHLIBS, wine, wine64
Recommends: wine32"
cat > "$DEB/DEBIAN/control" <<EOF
Package: kelvo
Version: $VERSION-$REVISION
Architecture: $ARCH
Maintainer: $MAINTAINER
Installed-Size: $(du -sk --exclude=DEBIAN "$DEB" | cut -f1)
$WINE_FIELDS
Section: electronics
Priority: optional
Description: serial download station for DLF files
 Kelvo serves DLF download files to a target device on a serial port: the
 target asks for blocks by offset and length, Kelvo sends them byte by byte,
 each after the target's acknowledgement, and shows the progress.
 .
 This package holds Kelvo itself (a Windows program, started under Wine by
 the launcher kelvo), kelvo-cli (the same protocol natively, without a
 window, for production lines and scripts), dlftool (makes and checks DLF
 files) and dlfsim (a simulated target for testing without hardware). The
 Windows builds of kelvo-cli and dlftool come along, to copy to Windows
 machines.
EOF
(cd "$DEB" && find usr -type f -exec md5sum {} + | sort -k2) > "$DEB/DEBIAN/md5sums"
find "$DEB" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$DEB" "$OUT/kelvo_$VERSION-${REVISION}_$ARCH.deb" >/dev/null

echo "package: kelvo-$VERSION-win32.zip"
ZIP="$STAGE/zip"
mkdir -p "$ZIP"
for exe in Kelvo.exe kelvo-cli.exe dlftool.exe; do
    cp "$KELVO_ROOT/build-win-i686/$exe" "$ZIP/" && i686-w64-mingw32-strip "$ZIP/$exe"
done
# Windows line ends, for Notepad.
stamp packaging/README.txt | sed 's/$/\r/' > "$ZIP/README.txt"
sed 's/$/\r/' LICENSE > "$ZIP/LICENSE.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$ZIP"/*
rm -f "$OUT/kelvo-$VERSION-win32.zip"
(cd "$ZIP" && cmake -E tar cf "$OUT/kelvo-$VERSION-win32.zip" --format=zip Kelvo.exe kelvo-cli.exe dlftool.exe README.txt LICENSE.txt)

if [ "$LINT" = 1 ]; then
    if ! command -v lintian >/dev/null; then
        echo "package: installing lintian"
        SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends lintian >/dev/null
    fi
    echo "package: lintian"
    lintian --fail-on error "$OUT/kelvo_$VERSION-${REVISION}_$ARCH.deb"
fi
ls -l "$OUT/kelvo_$VERSION-${REVISION}_$ARCH.deb" "$OUT/kelvo-$VERSION-win32.zip"
