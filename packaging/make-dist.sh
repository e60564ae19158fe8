#!/usr/bin/env bash
# Makes the release archives from built programs (make dist builds them first):
#
#   packaging/make-dist.sh LINUX_PROGRAM WINDOWS_PROGRAM
#
#   dist/komorebi-VERSION-linux-x86_64.tar.gz  komorebi-VERSION/: the program, the
#       systemd unit, INSTALL, LICENSE, the guide and its pictures
#   dist/komorebi-VERSION-windows.zip          komorebi.exe, LICENSE, the guide and its pictures
#
# Both programs hold miniupnpc (the router client), linked in: its licence
# goes beside them as LICENSE.miniupnpc (Debian's copyright file for the
# Linux library, the source's LICENSE for the Windows build).
#
# VERSION is read from window/options.h, the one place it is written; the
# Linux program must say the same with --version.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux_bin=$1
windows_exe=$2

version=$(sed -n 's/^inline constexpr const char\* kVersion = "\([^"]*\)";.*/\1/p' "$root/window/options.h")
if [ -z "$version" ] || [ "$(printf '%s\n' "$version" | wc -l)" != 1 ]; then
  echo "make-dist: no single kVersion in window/options.h" >&2
  exit 1
fi
said=$("$linux_bin" --version)
if [ "$said" != "komorebi $version" ]; then
  echo "make-dist: $linux_bin says \"$said\", window/options.h says $version: rebuild it" >&2
  exit 1
fi
[ -f "$windows_exe" ] || { echo "make-dist: no $windows_exe" >&2; exit 1; }

# Every picture the guide shows travels with it.
guide=$root/docs/guide.ja.md
for picture in $(grep -o '](guide/[^)]*)' "$guide" | sed 's/^](//; s/)$//'); do
  [ -f "$root/docs/$picture" ] || { echo "make-dist: the guide shows $picture, which docs/ does not have" >&2; exit 1; }
done

dist=$root/dist
stage=$(mktemp -d "${TMPDIR:-/tmp}/komorebi-dist.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$dist"
# Files dated by the last commit, owned by root: the same sources give the same archive.
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)

add_common() {  # DIR
  cp "$root/LICENSE" "$guide" "$1/"
  cp -r "$root/docs/guide" "$1/guide"
}

name=komorebi-$version
linux=$stage/linux/$name
mkdir -p "$linux"
install -m 755 "$linux_bin" "$linux/komorebi"
strip "$linux/komorebi"
install -m 644 "$root/packaging/linux/komorebi.service" "$root/packaging/linux/INSTALL" "$linux/"
add_common "$linux"
install -m 644 /usr/share/doc/libminiupnpc-dev/copyright "$linux/LICENSE.miniupnpc"
linux_archive=$dist/$name-linux-x86_64.tar.gz
rm -f "$linux_archive"
tar -C "$stage/linux" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" -czf "$linux_archive" "$name"

windows=$stage/windows
mkdir -p "$windows"
install -m 644 "$windows_exe" "$windows/komorebi.exe"
x86_64-w64-mingw32-strip "$windows/komorebi.exe"
add_common "$windows"
install -m 644 "$(dirname "$windows_exe")/_deps/miniupnpc/LICENSE" "$windows/LICENSE.miniupnpc"
windows_archive=$dist/$name-windows.zip
rm -f "$windows_archive"
find "$windows" -exec touch -h -d "@$stamp" {} +
(cd "$windows" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort | zip -X -q "$windows_archive" -@)

for archive in "$linux_archive" "$windows_archive"; do
  echo "make-dist: ${archive#"$root"/} ($(du -k "$archive" | cut -f1) KB)"
done
