# 32-bit ARM (armhf, hard-float ARMv7) with Debian's cross compilers and the armhf libraries
# of a multiarch system (dpkg --add-architecture armhf). Programs run under qemu-arm, which
# finds the armhf loader and libraries where multiarch installs them.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Headers that do not depend on the architecture (nlohmann/json, httplib) stay in /usr/include;
# libraries and pkg-config files come from the armhf multiarch folders only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")

# The loader must be the multiarch one, of the same glibc release as the multiarch libc that
# the programs load: the cross toolchain's copy under /usr/arm-linux-gnueabihf can be older,
# and pairing the two crashes the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)

# GCC notes on every std::vector and std::span argument that ARM argument passing changed in
# GCC 7.1; everything here is built by one compiler, so the notes tell nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
