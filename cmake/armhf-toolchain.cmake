# Cross build for the box: 32-bit ARM, hard float (Debian's armhf), with the
# libraries of Debian's armhf packages installed beside the host's (multiarch).
# scripts/test-armhf.sh installs what it needs and drives it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC's notes that the passing of some structures changed in GCC 7.1 concern
# only code mixed with objects built before it.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Headers and libraries of the target only; programs (tshark, dbus-daemon) of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig")

# ctest runs the test programs through the emulator; what they start themselves
# runs through the kernel's binfmt_misc entry for ARM programs.
find_program(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
