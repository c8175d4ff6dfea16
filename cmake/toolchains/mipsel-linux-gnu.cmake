# Cross build for the controller: 32-bit MIPS, little-endian, Debian's mipsel ABI.
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mipsel-linux-gnu.cmake
# The C and C++ runtime come with Debian's g++-mipsel-linux-gnu (/usr/mipsel-linux-gnu); jsoncpp
# for the target is unpacked by scripts/install-deps into a sysroot of its own; Boost is used for
# its headers only, which do not depend on the architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(KLX_CROSS_TRIPLE mipsel-linux-gnu)
set(CMAKE_C_COMPILER ${KLX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KLX_CROSS_TRIPLE}-g++)

if(DEFINED ENV{KLX_MIPSEL_SYSROOT})
  set(klx_default_sysroot "$ENV{KLX_MIPSEL_SYSROOT}")
else()
  set(klx_default_sysroot /opt/mipsel-sysroot)
endif()
set(KLX_MIPSEL_SYSROOT "${klx_default_sysroot}" CACHE PATH "Target libraries unpacked by install-deps")
set(KLX_MIPSEL_LIBC /usr/mipsel-linux-gnu CACHE PATH "The cross toolchain's target C library")
set(klx_target_libdir "${KLX_MIPSEL_SYSROOT}/usr/lib/${KLX_CROSS_TRIPLE}")

# Libraries and headers come from the target trees only; programs (pkg-config, qemu) from the
# build machine.
set(CMAKE_FIND_ROOT_PATH "${KLX_MIPSEL_SYSROOT}" "${KLX_MIPSEL_LIBC}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must describe the target's jsoncpp, never the build machine's.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "${klx_target_libdir}/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KLX_MIPSEL_SYSROOT}")

# The target's jsoncpp lies in /usr/lib/mipsel-linux-gnu on the controller: its unpacked copy here
# is a system folder for the build, so no RUNPATH names it (the emulator's LD_LIBRARY_PATH finds it
# for the tests).
list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${klx_target_libdir}")

# The linker resolves libjsoncpp.so.25 needed by libklxhost.so when linking programs against it.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${klx_target_libdir}")
endforeach()
# 32-bit MIPS has no 8-byte atomic instructions: std::atomic<long long> calls into libatomic.
# Linked as needed, so only what uses it depends on it.
set(CMAKE_CXX_STANDARD_LIBRARIES_INIT "-Wl,--push-state,--as-needed -latomic -Wl,--pop-state")

# Boost headers from the build machine, through a directory that holds boost/ alone: adding
# /usr/include itself would put the build machine's C library headers before the target's.
get_property(klx_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT klx_in_try_compile)
  set(klx_boost_root "${CMAKE_BINARY_DIR}/target-include")
  if(NOT EXISTS "${klx_boost_root}/boost")
    file(MAKE_DIRECTORY "${klx_boost_root}")
    file(CREATE_LINK /usr/include/boost "${klx_boost_root}/boost" SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR "${klx_boost_root}" CACHE PATH "Boost headers for the target")
  set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
endif()

# Tests and test discovery run under user-mode emulation. qemu's -L prefix serves the target's
# loader and C library; jsoncpp lies outside it and is named through the target's
# LD_LIBRARY_PATH (which qemu's own dynamic loader never sees). The plug-in and the host library
# are found through their RPATH.
find_program(KLX_QEMU_MIPSEL NAMES qemu-mipsel qemu-mipsel-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${KLX_QEMU_MIPSEL};-L;${KLX_MIPSEL_LIBC};-E;LD_LIBRARY_PATH=${klx_target_libdir}")
