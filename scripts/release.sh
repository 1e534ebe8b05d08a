#!/usr/bin/env bash
# Makes a release of the Windows programs with a firmware image:
#
#   bash scripts/release.sh --image FILE --version X.Y.Z --out DIR
#
# Builds, in a build folder of its own made afresh, the dialog program and
# the console qdm7-flash (32-bit Windows, static runtime, no tests) with FILE
# built in and version X.Y.Z, then writes into DIR (new or empty):
#   qdm7-update-X.Y.Z.exe, qdm7-flash-X.Y.Z.exe,
#   image.txt   the image's length, padded length, blocks, CRC and SHA-256,
#   SHA256SUMS  of those three files, as `sha256sum -c` reads it.
# The same sources, image and version give the same bytes, from any folder
# and at any time. A missing, empty or sample image, a version that is not
# X.Y.Z, or a DIR that holds files is refused with one line and exit status 1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage="usage: bash scripts/release.sh --image FILE --version X.Y.Z --out DIR"
refuse() {
  echo "release: $*" >&2
  exit 1
}

image= version= out=
while [ $# -gt 0 ]; do
  case $1 in
    --image|--version|--out)
      [ $# -ge 2 ] || refuse "$1 needs a value; $usage"
      declare "${1#--}=$2"
      shift 2 ;;
    --image=*|--version=*|--out=*)
      name=${1%%=*}
      declare "${name#--}=${1#*=}"
      shift ;;
    -h|--help)
      echo "$usage"
      exit 0 ;;
    *)
      refuse "unknown argument '$1'; $usage" ;;
  esac
done
[ -n "$image" ] || refuse "no --image given; $usage"
[ -n "$version" ] || refuse "no --version given; $usage"
[ -n "$out" ] || refuse "no --out given; $usage"
for tool in python3 cmake ninja i686-w64-mingw32-g++-posix i686-w64-mingw32-windres sha256sum; do
  command -v "$tool" >/dev/null || refuse "$tool is missing; run scripts/install-deps.sh as root"
done

# X.Y.Z, each number without leading zeros and at most 65535 (the version
# resource keeps 16 bits of each); 0.0.0 marks development builds.
number='(0|[1-9][0-9]{0,4})'
if ! [[ $version =~ ^$number\.$number\.$number$ ]] ||
   [ "${BASH_REMATCH[1]}" -gt 65535 ] || [ "${BASH_REMATCH[2]}" -gt 65535 ] ||
   [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  refuse "version '$version' is not X.Y.Z (three numbers of 0 to 65535, e.g. 1.4.0)"
fi
[ "$version" != 0.0.0 ] || refuse "version 0.0.0 marks development builds; give the release's version"

[ -e "$image" ] || refuse "no such image file: $image"
[ -f "$image" ] || refuse "image is not a regular file: $image"
[ -r "$image" ] || refuse "cannot read the image file: $image"
[ -s "$image" ] || refuse "image file is empty: $image (it would program one block of zeros)"
sample=0
python3 "$root/tools/mkimage/mkimage.py" --is-sample "$image" || sample=$?
case $sample in
  0) refuse "$image is the generated sample image (tools/mkimage), not a release image" ;;
  1) ;;
  *) refuse "could not tell whether $image is the sample image" ;;
esac
image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")

if [ -e "$out" ] && [ ! -d "$out" ]; then
  refuse "--out is not a folder: $out"
fi
if [ -d "$out" ] && [ -n "$(ls -A "$out")" ]; then
  refuse "output folder is not empty: $out"
fi

build=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-release.XXXXXX")
trap 'rm -rf "$build"' EXIT
echo "release: building $version in $build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DQDM7_BUILD_TESTS=OFF \
  -DQDM7_FIRMWARE_IMAGE="$image" \
  -DQDM7_VERSION="$version" >"$build/configure.log" ||
  { cat "$build/configure.log" >&2; refuse "configuring the build failed"; }
cmake --build "$build" -j "$(nproc)" --target qdm7-update qdm7-flash qdm7_image_facts ||
  refuse "the build failed"

mkdir -p "$out"
cp "$build/ui/qdm7-update.exe" "$out/qdm7-update-$version.exe"
cp "$build/tools/qdm7-flash/qdm7-flash.exe" "$out/qdm7-flash-$version.exe"
cp "$build/resources/image.txt" "$out/image.txt"
(cd "$out" && sha256sum "qdm7-update-$version.exe" "qdm7-flash-$version.exe" image.txt >SHA256SUMS)

echo "release: $version in $out"
cat "$out/SHA256SUMS"
