#!/usr/bin/env bash
# Makes the Debian package of a built Linux qdm7-flash, for scripts/release.sh:
#
#   bash scripts/debian-package.sh --program BIN --version X.Y.Z
#        --maintainer "NAME <EMAIL>" --usb-id VID:PID|"" --work DIR
#
# The package holds the program, its man page qdm7-flash(1) made from its
# own --help by help2man, the troubleshooting guide and the copyright file;
# with a USB id, a udev rule that lets the logged-in user open that device's
# port and tells ModemManager to leave it alone. Files, owners and times are
# fixed (SOURCE_DATE_EPOCH), so the same program gives the same package.
# Prints the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

program='' version='' maintainer='' usb_id='' work=''
while [ $# -gt 0 ]; do
  case $1 in
    --program|--version|--maintainer|--usb-id|--work)
      name=${1#--}
      declare "${name//-/_}=$2"
      shift 2 ;;
    *)
      echo "debian-package: unknown argument '$1'" >&2
      exit 1 ;;
  esac
done
# A fixed day when no time is given: Debian's tools take files of 1970 for a
# broken clock.
: "${SOURCE_DATE_EPOCH:=1767225600}"
export SOURCE_DATE_EPOCH
arch=$(dpkg --print-architecture)
tree=$work/qdm7-flash
rm -rf "$work"
mkdir -p "$tree/DEBIAN" "$tree/usr/bin" "$tree/usr/share/man/man1" "$tree/usr/share/doc/qdm7-flash"

install -m 755 "$program" "$tree/usr/bin/qdm7-flash"
strip --remove-section=.comment "$tree/usr/bin/qdm7-flash"
# help2man reads a synopsis of "Usage: ..." and "or: ..." lines: it is given
# the help's usage lines in that form, their wrapped options joined, and
# "Exit status:" as a section of its own (it knows "Environment:" already).
# Of --version it is given the first line; the image lines after it make a
# section of their own, unadjusted so that the SHA-256 is not spread apart.
# SEE ALSO names the guide the package carries.
mkdir -p "$work/help"
cat >"$work/help/qdm7-flash" <<'EOF'
#!/bin/sh
program=$(dirname "$0")/../qdm7-flash/usr/bin/qdm7-flash
if [ "$1" = --version ]; then
  "$program" --version | head -n 1
  exit
fi
[ "$1" = --help ] || exec "$program" "$@"
"$program" --help | awk '
  usage && /^$/ { print line; usage = 0 }
  usage && /^ +qdm7-flash / { print line; sub(/^ +/, ""); line = "  or: " $0; next }
  usage && /^ +/ { sub(/^ +/, " "); line = line $0; next }
  /^Usage: / { usage = 1; line = $0; next }
  /^Exit status:$/ { print "*Exit status*"; next }
  { print }'
EOF
chmod 755 "$work/help/qdm7-flash"
{
  echo "[FIRMWARE IMAGE]"
  echo ".na"
  echo "The firmware image built into this qdm7-flash, as its \\-\\-version names it:"
  # Each line a paragraph, roff's escape character doubled and a leading
  # dot or quote kept as text.
  "$tree/usr/bin/qdm7-flash" --version | tail -n +2 | sed 's/^image: //; s/\\/\\e/g; s/^/.PP\n\\\&/'
  echo ".ad"
  echo "[SEE ALSO]"
  echo "The troubleshooting guide: what each message means, and what to do about it."
  echo ".IP"
  echo ".I /usr/share/doc/qdm7-flash/troubleshooting.md"
} >"$work/qdm7-flash.h2m"
help2man --no-info --no-discard-stderr --include "$work/qdm7-flash.h2m" \
  --name "update the firmware of a QDM7 over its USB serial port" \
  --output "$work/qdm7-flash.1" "$work/help/qdm7-flash"
gzip -9n <"$work/qdm7-flash.1" >"$tree/usr/share/man/man1/qdm7-flash.1.gz"
install -m 644 "$root/docs/troubleshooting.md" "$tree/usr/share/doc/qdm7-flash/troubleshooting.md"
cat >"$tree/usr/share/doc/qdm7-flash/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: qdm7-flash
Upstream-Contact: $maintainer

Files: *
Copyright: the QDM7 firmware team
License: the terms the QDM7 firmware team gives with this release
EOF

{
  printf 'qdm7-flash (%s) unstable; urgency=medium\n\n  * Release %s.\n\n' "$version" "$version"
  printf ' -- %s  %s\n' "$maintainer" "$(LC_ALL=C date -u -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$tree/usr/share/doc/qdm7-flash/changelog.gz"

if [ -n "$usb_id" ]; then
  mkdir -p "$tree/usr/lib/udev/rules.d"
  # 60-: uaccess tags must be set before 73-seat-late.rules applies them, and
  # ModemManager's ignore mark before it probes the port.
  cat >"$tree/usr/lib/udev/rules.d/60-qdm7.rules" <<EOF
# The QDM7 (USB $usb_id): the logged-in user may open its serial port, and
# ModemManager does not probe it as a modem.
ACTION!="add|change|move|bind", GOTO="qdm7_end"
SUBSYSTEM=="usb", ENV{DEVTYPE}=="usb_device", ATTR{idVendor}=="${usb_id%:*}", ATTR{idProduct}=="${usb_id#*:}", ENV{ID_MM_DEVICE_IGNORE}="1"
SUBSYSTEM=="tty", ATTRS{idVendor}=="${usb_id%:*}", ATTRS{idProduct}=="${usb_id#*:}", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"
LABEL="qdm7_end"
EOF
fi

# Depends: the shared libraries the program links, as dpkg-shlibdeps names
# their packages; it reads them from a debian/control of its own.
mkdir -p "$work/shlibs/debian"
printf 'Source: qdm7-flash\n\nPackage: qdm7-flash\nArchitecture: any\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$tree/usr/bin/qdm7-flash" 2>/dev/null |
          sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "debian-package: dpkg-shlibdeps named no libraries" >&2; exit 1; }
size=$(du -sk --exclude=DEBIAN "$tree" | cut -f1)
cat >"$tree/DEBIAN/control" <<EOF
Package: qdm7-flash
Version: $version
Architecture: $arch
Maintainer: $maintainer
Installed-Size: $size
Depends: $depends
Section: utils
Priority: optional
Description: firmware updater for the QDM7 over its USB serial port
 qdm7-flash installs the QDM7 firmware image built into it onto a QDM7
 attached by USB: it sends the image block by block over the device's
 serial port, checks the device's CRC of it and resets the device into
 the new firmware. It updates several devices at once, verifies a
 device without writing, and says what on the machine stands in the
 way of an update (--doctor).
EOF

# md5sums, as dh_md5sums writes it: what dpkg --verify checks the installed
# files against.
(cd "$tree" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0 md5sum) \
  >"$tree/DEBIAN/md5sums"
find "$tree" -type d -exec chmod 755 {} +
find "$tree" -type f ! -path "$tree/usr/bin/*" -exec chmod 644 {} +
find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
deb=$work/qdm7-flash_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$tree" "$deb" >/dev/null
echo "$deb"
