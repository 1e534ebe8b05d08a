#!/usr/bin/env bash
# Makes a release of the QDM7 updater with a firmware image:
#
#   bash scripts/release.sh --image FILE --version X.Y.Z --out DIR
#        [--no-vector-check] [--sign-cert CERT --sign-key KEY [--timestamp-url URL]]
#        [--usb-id VID:PID] [--maintainer "NAME <EMAIL>"]
#
# FILE is the firmware as its build makes it: a raw image, an ELF file or
# Intel HEX, told apart by content (resources/image_input.py converts it and
# refuses an image that would not start where the device places it, unless
# --no-vector-check). Builds, in build folders of its own made afresh, the
# dialog program and the console qdm7-flash (32-bit Windows, static runtime,
# no tests) and the Linux qdm7-flash (optimised), with the image built in and
# version X.Y.Z, then writes into DIR (new or empty):
#   qdm7-update-X.Y.Z.exe, qdm7-flash-X.Y.Z.exe,
#   qdm7-update.html  the page that updates the QDM7 from a browser (Web
#               Serial; the engine in WebAssembly, the image inside),
#   qdm7-flash_X.Y.Z_amd64.deb  the Linux program, its man page and guide,
#               and with --usb-id a udev rule for that device,
#   image.txt   the image's length, padded length, blocks, CRC and SHA-256,
#               the input's kind and SHA-256,
#   SHA256SUMS  of those files, as `sha256sum -c` reads it.
# With --sign-cert and --sign-key the two programs are signed (Authenticode,
# osslsigncode; time-stamped by URL when given) and the unsigned ones kept in
# DIR/unsigned/. The same sources, image and version give the same bytes,
# from any folder and at any time, signatures apart. Bad input (a missing,
# empty, sample or misplaced image, a version that is not X.Y.Z, a DIR that
# holds files, a key that does not fit its certificate, a certificate out of
# its dates) is refused with one line and exit status 1, before anything is
# built or written.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage="usage: bash scripts/release.sh --image FILE --version X.Y.Z --out DIR [--no-vector-check] [--sign-cert CERT --sign-key KEY [--timestamp-url URL]] [--usb-id VID:PID] [--maintainer 'NAME <EMAIL>']"
refuse() {
  echo "release: $*" >&2
  exit 1
}

image='' version='' out='' sign_cert='' sign_key='' timestamp_url='' usb_id='' no_vector_check=''
maintainer="QDM7 release <release@qdm7.invalid>"
while [ $# -gt 0 ]; do
  case $1 in
    --image|--version|--out|--sign-cert|--sign-key|--timestamp-url|--usb-id|--maintainer)
      [ $# -ge 2 ] || refuse "$1 needs a value; $usage"
      name=${1#--}
      declare "${name//-/_}=$2"
      shift 2 ;;
    --image=*|--version=*|--out=*|--sign-cert=*|--sign-key=*|--timestamp-url=*|--usb-id=*|--maintainer=*)
      name=${1%%=*}
      name=${name#--}
      declare "${name//-/_}=${1#*=}"
      shift ;;
    --no-vector-check)
      no_vector_check=1
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
for tool in python3 cmake ninja g++ i686-w64-mingw32-g++-posix i686-w64-mingw32-windres sha256sum \
            dpkg-deb dpkg-shlibdeps help2man emcc; do
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

# A USB id as --list shows it: four hexadecimal digits each, written in the
# rule in lower case, as sysfs spells them.
if [ -n "$usb_id" ]; then
  [[ $usb_id =~ ^[0-9A-Fa-f]{4}:[0-9A-Fa-f]{4}$ ]] ||
    refuse "--usb-id '$usb_id' is not VID:PID (four hexadecimal digits each, e.g. 0483:5740)"
  usb_id=${usb_id,,}
fi
[[ $maintainer =~ ^[^\<\>]+\ \<[^\<\>@\ ]+@[^\<\>\ ]+\>$ ]] ||
  refuse "--maintainer '$maintainer' is not NAME <EMAIL>"

# Signing is checked now, so that a bad key or certificate costs no build.
if [ -n "$sign_cert$sign_key" ]; then
  [ -n "$sign_cert" ] && [ -n "$sign_key" ] || refuse "--sign-cert and --sign-key go together"
  for tool in osslsigncode openssl; do
    command -v "$tool" >/dev/null || refuse "$tool is missing; run scripts/install-deps.sh as root"
  done
  for file in "$sign_cert" "$sign_key"; do
    [ -f "$file" ] && [ -r "$file" ] || refuse "cannot read $file"
  done
  openssl x509 -in "$sign_cert" -noout 2>/dev/null ||
    refuse "$sign_cert is not a certificate (PEM X.509)"
  openssl pkey -in "$sign_key" -passin pass: -noout 2>/dev/null ||
    refuse "$sign_key is not a private key (PEM, without a passphrase)"
  [ "$(openssl x509 -in "$sign_cert" -noout -pubkey)" = "$(openssl pkey -in "$sign_key" -pubout)" ] ||
    refuse "the key $sign_key does not belong to the certificate $sign_cert"
  not_after=$(openssl x509 -in "$sign_cert" -noout -enddate | cut -d= -f2)
  openssl x509 -in "$sign_cert" -noout -checkend 0 >/dev/null ||
    refuse "the certificate $sign_cert expired on $not_after"
  not_before=$(openssl x509 -in "$sign_cert" -noout -startdate | cut -d= -f2)
  [ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
    refuse "the certificate $sign_cert is not valid before $not_before"
  usage_ext=$(openssl x509 -in "$sign_cert" -noout -ext extendedKeyUsage 2>/dev/null | tail -n +2 | tr -s ' \n' ' ')
  if [ -n "$usage_ext" ] && ! grep -q "Code Signing" <<<"$usage_ext"; then
    refuse "the certificate $sign_cert is not for code signing (extended key usage:${usage_ext% })"
  fi
fi
if [ -n "$timestamp_url" ]; then
  [ -n "$sign_cert" ] || refuse "--timestamp-url goes with --sign-cert and --sign-key"
  [[ $timestamp_url =~ ^https?://[^[:space:]]+$ ]] || refuse "--timestamp-url '$timestamp_url' is not an http:// or https:// address"
fi

if [ -e "$out" ] && [ ! -d "$out" ]; then
  refuse "--out is not a folder: $out"
fi
if [ -d "$out" ] && [ -n "$(ls -A "$out")" ]; then
  refuse "output folder is not empty: $out"
fi

build=$(mktemp -d "${TMPDIR:-/tmp}/qdm7-release.XXXXXX")
trap 'rm -rf "$build"' EXIT

# The raw image as the builds will carry it, checked before building; the
# sample is refused in any form (raw, or converted from ELF or HEX).
vector_option=() vector_cache=OFF
if [ -n "$no_vector_check" ]; then
  vector_option=(--no-vector-check) vector_cache=ON
fi
checked=$(python3 "$root/resources/image_input.py" "$image" --out "$build/image.bin" \
            "${vector_option[@]}" 2>&1) || refuse "$checked"
sample=0
python3 "$root/tools/mkimage/mkimage.py" --is-sample "$build/image.bin" || sample=$?
case $sample in
  0) refuse "$image is the generated sample image (tools/mkimage), not a release image" ;;
  1) ;;
  *) refuse "could not tell whether $image is the sample image" ;;
esac
image=$(cd "$(dirname "$image")" && pwd)/$(basename "$image")

echo "release: building $version in $build"
[ -z "$checked" ] || echo "$checked"
[ -z "$no_vector_check" ] || echo "release: the image's vector table is not checked (--no-vector-check)"
# configure NAME ARGS...: configures the build folder $build/NAME, its log
# shown only when it fails.
configure() {
  local name=$1
  shift
  cmake -S "$root" -B "$build/$name" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DQDM7_BUILD_TESTS=OFF \
    -DQDM7_FIRMWARE_IMAGE="$image" \
    -DQDM7_NO_VECTOR_CHECK=$vector_cache \
    -DQDM7_VERSION="$version" "$@" >"$build/$name.log" ||
    { cat "$build/$name.log" >&2; refuse "configuring the $name build failed"; }
}
configure windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake"
cmake --build "$build/windows" -j "$(nproc)" --target qdm7-update qdm7-flash qdm7_image_facts ||
  refuse "the Windows build failed"
# The Linux program as the release preset makes it, with the source and build
# folders mapped out of it, as the Windows build does.
configure linux -DQDM7_SANITIZE=OFF \
  -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$root/= -ffile-prefix-map=$build/linux/=build/"
cmake --build "$build/linux" -j "$(nproc)" --target qdm7-flash || refuse "the Linux build failed"
# The page, from the same image and version (emcc's optimiser needs Debian's
# node modules).
export NODE_PATH=/usr/share/nodejs
configure web -DCMAKE_TOOLCHAIN_FILE=/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake
cmake --build "$build/web" -j "$(nproc)" --target qdm7_update_page || refuse "the page's build failed"

# The time the package's files and its man page carry: SOURCE_DATE_EPOCH if
# set, else the commit's time, else a fixed day, so that a rebuild matches.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git -C "$root" rev-parse --show-toplevel 2>/dev/null | grep -qxF "$root"; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
fi
deb=$(bash "$root/scripts/debian-package.sh" --program "$build/linux/tools/qdm7-flash/qdm7-flash" \
        --version "$version" --maintainer "$maintainer" --usb-id "$usb_id" --work "$build/deb") ||
  refuse "making the Debian package failed"

windows=("qdm7-update-$version.exe" "qdm7-flash-$version.exe")
staged=$build/release
mkdir -p "$staged"
cp "$build/windows/ui/qdm7-update.exe" "$staged/${windows[0]}"
cp "$build/windows/tools/qdm7-flash/qdm7-flash.exe" "$staged/${windows[1]}"
cp "$build/windows/resources/image.txt" "$staged/image.txt"
cp "$deb" "$staged/"
cp "$build/web/web/qdm7-update.html" "$staged/qdm7-update.html"
listed=("${windows[@]}" qdm7-update.html image.txt "$(basename "$deb")")
if [ -n "$sign_cert" ]; then
  mkdir "$staged/unsigned"
  timestamp=()
  [ -z "$timestamp_url" ] || timestamp=(-ts "$timestamp_url")
  for exe in "${windows[@]}"; do
    mv "$staged/$exe" "$staged/unsigned/$exe"
    osslsigncode sign -certs "$sign_cert" -key "$sign_key" -h sha256 \
      -n "QDM7 Firmware Update Tool" "${timestamp[@]}" \
      -in "$staged/unsigned/$exe" -out "$staged/$exe" >"$build/sign.log" 2>&1 ||
      { cat "$build/sign.log" >&2; refuse "signing $exe failed"; }
    # osslsigncode writes its output as a plain file: the signed program is
    # as executable as the one it signs.
    chmod --reference="$staged/unsigned/$exe" "$staged/$exe"
    listed+=("unsigned/$exe")
  done
fi
(cd "$staged" && sha256sum "${listed[@]}" >SHA256SUMS)
# Whole or not at all: the release appears in DIR only once it is complete.
mkdir -p "$out"
cp -a "$staged/." "$out/"

echo "release: $version in $out"
cat "$out/SHA256SUMS"
