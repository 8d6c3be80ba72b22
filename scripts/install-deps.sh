#!/usr/bin/env bash
# Installs the Debian packages this project needs to build, test and run.
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

# Installed for this machine's architecture (or for all): other architectures' copies don't count.
native=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
    grep -q -E "^($native|all) install ok installed$"
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
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq "${missing[@]}" </dev/null >/dev/null
