#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, as root. Does
# nothing for what is already there; fails loudly for what cannot be had.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# A mirror in the middle of a sync serves an index that does not match its
# release file, and apt-get update then fails for that one index. Try again
# a few times; if one index still fails, go on with those that came: the
# install that follows says plainly if a package is still out of reach.
update_index() {
  local try
  for try in 1 2 3; do
    apt-get update -q && return 0
    echo "install-deps: apt-get update failed (try $try of 3)" >&2
    [ "$try" -lt 3 ] && sleep 20
  done
  # Without one architecture's index of the security suite, its updates
  # would pull one architecture's libraries ahead of the other's (wine32
  # needs both alike): take every package from the release itself then.
  echo "install-deps: going on with the package indexes that did come, packages from the release itself" >&2
  apt_release=(-o APT::Default-Release="$(. /etc/os-release && echo "$VERSION_CODENAME")")
}
apt_release=()

packages=(
  cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev valgrind python3
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth imagemagick procps time
  libserialport-dev libudev-dev pkg-config
  python3-pyelftools python3-intelhex binutils-arm-none-eabi
  osslsigncode openssl help2man man-db dpkg-dev
  emscripten nodejs node-acorn chromium chromium-driver python3-selenium udev
)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture for wine32"
  dpkg --add-architecture i386
  updated_arch=1
fi

for p in "${packages[@]}"; do
  have_pkg "$p" || need+=("$p")
done

if [ ${#need[@]} -gt 0 ] || [ -n "${updated_arch:-}" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${need[*]}) and not root; run as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  update_index
  # With recommends: Wine's fonts and X libraries are among them, and the
  # dialog tests measure the window as those fonts lay it out.
  apt-get install -y -q "${apt_release[@]}" "${need[@]}"
fi

# The QEMU guests: the USB rig's (tests/usb/), on every machine, and the one
# the Windows tests run in where this kernel runs no 32-bit programs
# (tests/support/winehost.py): QEMU, a kernel with its modules (the guest
# kernel runs 32-bit programs), and a static busybox. Without recommends: the
# kernel's would pull in firmware and boot loaders the guests do not use.
rig_packages=(qemu-system-x86 linux-image-amd64 busybox-static)
rig_need=()
for p in "${rig_packages[@]}"; do
  have_pkg "$p" || rig_need+=("$p")
done
if [ ${#rig_need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages (${rig_need[*]}) and not root; run as root" >&2
    exit 1
  fi
  echo "install-deps: installing ${rig_need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  [ ${#need[@]} -gt 0 ] || update_index
  apt-get install -y -q "${apt_release[@]}" --no-install-recommends "${rig_need[@]}"
fi

# Check the tools themselves, not only the packages.
for tool in cmake ninja g++ i686-w64-mingw32-g++-posix i686-w64-mingw32-windres wine wineserver Xvfb clang++ \
            qemu-system-x86_64 arm-none-eabi-objcopy osslsigncode openssl help2man man dpkg-shlibdeps \
            emcc node chromium chromedriver; do
  command -v "$tool" >/dev/null || { echo "install-deps: $tool is still missing" >&2; exit 1; }
done
[ -f /usr/src/googletest/CMakeLists.txt ] || { echo "install-deps: GoogleTest sources missing" >&2; exit 1; }
[ -x /bin/busybox ] || { echo "install-deps: /bin/busybox (busybox-static) missing" >&2; exit 1; }
# The page's browser tests run Selenium with Debian's own python3, in the guest.
/usr/bin/python3 -c 'import selenium' 2>/dev/null || { echo "install-deps: python3-selenium missing" >&2; exit 1; }
