# Cross build for the box's 32-bit ARM CPU (armhf) with Debian's cross toolchain and the
# :armhf development packages (scripts/setup --armhf installs both).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
# Programs of the build run through qemu-user: this machine has no binfmt_misc, so CMake
# prefixes every test run with CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(HBN_CROSS_TRIPLE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER ${HBN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HBN_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${HBN_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Debian multiarch: target libraries live in /usr/lib/arm-linux-gnueabihf and the target's
# loader and C library under /usr/arm-linux-gnueabihf.
set(CMAKE_LIBRARY_ARCHITECTURE ${HBN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${HBN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${HBN_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The loader comes from the cross toolchain's C library (-L), so the C library must too: the
# :armhf packages bring a second, newer build of it to /lib/arm-linux-gnueabihf, and a loader
# of one build with the C library of another crashes at the first pthread_create. The
# toolchain's folder goes first on the guest's library path; the packages' libraries follow.
find_program(HBN_QEMU_ARM qemu-arm)
if(HBN_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${HBN_QEMU_ARM} -L /usr/${HBN_CROSS_TRIPLE}
    -E LD_LIBRARY_PATH=/usr/${HBN_CROSS_TRIPLE}/lib:/usr/lib/${HBN_CROSS_TRIPLE})
endif()
