#!/usr/bin/env bash
# Installs the Debian packages this project needs to build, test and run;
# with the argument armhf also those of the cross build for the box and of its
# tests under emulation (Debian multiarch: the :armhf libraries beside the host's).
# Quiet and quick when everything is there already.
set -euo pipefail

packages=(
  cmake g++ make pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libsdbus-c++-dev libtinyxml2-dev libcpp-httplib-dev nlohmann-json3-dev libsqlite3-dev
  dbus dbus-daemon ccache libxml2-utils
  tshark
  clang-14 libclang-rt-14-dev
)
if [[ ${1:-} == armhf ]]; then
  packages+=(
    crossbuild-essential-armhf qemu-user-static debootstrap iproute2
    libsdbus-c++-dev:armhf libtinyxml2-dev:armhf libcpp-httplib-dev:armhf libsqlite3-dev:armhf
    libgtest-dev:armhf libgmock-dev:armhf libbenchmark-dev:armhf
  )
fi

# Installed for this machine's architecture (or for all), or for the one a name asks for
# ("libtinyxml2-dev:armhf"): other architectures' copies don't count.
native=$(dpkg --print-architecture)
installed() {
  local arch=$native
  [[ $1 == *:* ]] && arch=${1##*:}
  dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
    grep -q -E "^($arch|all) install ok installed$"
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
if [[ ${1:-} == armhf ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
