#!/usr/bin/env bash
# The box's own target, 32-bit ARM (Debian's armhf), on this machine:
#   bash scripts/test-armhf.sh               all of it
#   bash scripts/test-armhf.sh --no-root     all but the armhf root (what CI runs)
#   bash scripts/test-armhf.sh --build-only  the programs and their package, no tests, no root
# 1. the whole test suite cross-built (cmake/armhf-toolchain.cmake) in build-armhf/ and run
#    under qemu-user, with the host's dbus-daemon and tshark as peers;
# 2. the programs built for release in build-armhf-release/, their time functions checked,
#    packed (cpack) and the package's fields checked;
# 3. the package installed into an armhf Debian 12 root (debootstrap, kept in
#    build-armhf-root/), where the box runs as installed.
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
build=${ARMHF_BUILD_DIR:-build-armhf}
toolchain=$PWD/cmake/armhf-toolchain.cmake
with_tests=true with_root=true
case ${1:-} in
  --no-root) with_root=false ;;
  --build-only) with_tests=false with_root=false ;;
  "") ;;
  *) echo "usage: test-armhf.sh [--no-root | --build-only]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh armhf

# Programs for ARM run through qemu wherever they are started: a binfmt_misc entry.
enable_arm_programs() {
  local binfmt=/proc/sys/fs/binfmt_misc
  [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
  [[ -e $binfmt/qemu-arm ]] || cat /usr/lib/binfmt.d/qemu-arm.conf >"$binfmt/register"
  grep -qx enabled "$binfmt/qemu-arm" || echo 1 >"$binfmt/qemu-arm"
}

configure_and_build() {
  local dir=$1; shift
  echo "== configure $dir"
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "$@" >/dev/null
  echo "== build $dir"
  cmake --build "$dir" -j"$jobs"
}

# Debian 12's armhf libraries keep a 32-bit time_t, which ends in January 2038: our programs
# may call only the C library's 64-bit time functions, and never the C++ library's
# system_clock (built with the 32-bit one).
check_time_symbols() {
  local dir=$1 program found
  local old='^(time|clock_gettime|clock_nanosleep|gettimeofday|settimeofday|(gm|local|c)time(_r)?|mktime|timegm'
  old+='|f?stat(at)?(64)?|lstat(64)?|utime(s|nsat)?|futimens|nanosleep|p?select|ppoll|pthread_cond_timedwait'
  old+='|pthread_mutex_timedlock|sem_timedwait|[gs]etsockopt|ioctl|fcntl(64)?|recvmmsg|timerfd_[gs]ettime'
  old+='|_ZNSt6chrono3_V212system_clock3nowEv)@'
  echo "== time functions of the programs in $dir"
  for program in src/IEC_server/IecServer src/schedule-manager/schedule-manager src/iec-client/iec-client \
                 src/iec-values/iec-values src/scl-export/scl-export; do
    found=$(arm-linux-gnueabihf-nm -D --undefined-only "$dir/$program" | awk '{print $2}' | grep -E "$old" || true)
    [[ -z $found ]] || { echo "$program calls 32-bit time functions: $found" >&2; return 1; }
  done
}

# The package: for armhf, with the box's files, its libraries named as Debian's armhf packages.
check_package() {
  local deb=$1 field
  echo "== check $(basename "$deb")"
  [[ $(dpkg-deb -f "$deb" Architecture) == armhf ]] || { echo "not an armhf package" >&2; return 1; }
  field=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $field"
  for library in libsdbus-c++1 libtinyxml2-9 libsqlite3-0 libcpp-httplib0.11 libstdc++6 libc6; do
    [[ $field == *"$library "* ]] || { echo "Depends lacks $library" >&2; return 1; }
  done
  local tree
  tree=$(mktemp -d)
  dpkg-deb -x "$deb" "$tree"
  for program in usr/sbin/IecServer usr/sbin/schedule-manager usr/bin/iec-client; do
    readelf -h "$tree/$program" | grep -q 'Machine: *ARM' || { echo "$program is not an ARM program" >&2; return 1; }
  done
  rm -rf "$tree"
}

# Installs the package with apt into a minimal armhf Debian 12 root, which resolves its
# dependencies against Debian's armhf packages, and runs the box there as its units do: the
# system bus of Debian's armhf dbus-daemon with the package's policy, both programs as the
# user steuerbox, IecServer answering an MMS read (in a network namespace of its own).
install_into_armhf_root() {
  local deb=$1 root=build-armhf-root
  if [[ ! -x $root/usr/bin/apt-get ]]; then
    echo "== debootstrap armhf root $root"
    rm -rf "$root"
    debootstrap --arch=armhf --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
  fi
  echo "== install $(basename "$deb") into $root"
  cp "$deb" "$root/tmp/"
  chroot "$root" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get install -y -qq "/tmp/$(basename "$deb")" </dev/null >/dev/null
  chroot "$root" dpkg-query -W -f='${Package} ${Version} ${Architecture} ${Status}\n' steuerbox-iec61850
  cat >"$root/tmp/serve.sh" <<'EOF'
set -e
rm -f /run/dbus/pid /tmp/manager.out /tmp/server.out
mkdir -p /run/dbus /var/lib/steuerbox/box/uploaded_files
chown -R steuerbox:steuerbox /var/lib/steuerbox
[ -e /var/lib/steuerbox/config ] || ln -s /etc/steuerbox /var/lib/steuerbox/config
bus=$(dbus-daemon --system --fork --print-pid)
as_box() { exec setpriv --reuid=steuerbox --regid=steuerbox --init-groups "$@"; }  # in a job: $! is the program
as_box /usr/sbin/schedule-manager --state-file /var/lib/steuerbox/schedule-manager.state >/tmp/manager.out 2>&1 &
manager=$!
cd /var/lib/steuerbox/box
as_box /usr/sbin/IecServer >/tmp/server.out 2>&1 &
server=$!
for i in $(seq 300); do grep -q 'Waiting for IEC Clients' /tmp/server.out && break; sleep 0.2; done
status=0
ref=$(/usr/bin/iec-client read 'FNN_STEUERBOXCLS1/ActPow_FSCC001$ST$ActSchdRef$stVal') || status=1
echo "IecServer in the armhf root answers: ActSchdRef $ref"
grep -q 'schedule-manager ready' /tmp/manager.out || status=1
kill $server $manager
wait $server $manager || true
kill $bus
exit $status
EOF
  unshare -n bash -c "ip link set lo up && chroot '$root' /bin/sh /tmp/serve.sh" ||
    { cat "$root/tmp/server.out" "$root/tmp/manager.out" >&2; return 1; }
  chroot "$root" apt-get purge -y -qq steuerbox-iec61850 </dev/null >/dev/null
}

enable_arm_programs

if $with_tests; then
  configure_and_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCH=OFF
  echo "== test $build (under qemu-arm, in a network namespace of its own)"
  start=$SECONDS
  unshare -n sh -c 'ip link set lo up && cd "$1" && ctest --output-on-failure --no-tests=error --timeout 1800' \
    sh "$build"
  echo "== armhf tests passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
fi

release=$build-release
configure_and_build "$release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DBUILD_BENCH=OFF
rm -f "$release"/steuerbox-iec61850_*.deb
check_time_symbols "$release"
(cd "$release" && cpack -G DEB >/dev/null)
deb=$(ls "$release"/steuerbox-iec61850_*_armhf.deb)
check_package "$deb"
if $with_root; then install_into_armhf_root "$deb"; fi
echo "== armhf done"
