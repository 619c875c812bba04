# Builds with Zig's clang for a Linux target with an old glibc, such as x86_64-linux-gnu.2.17 or
# aarch64-linux-gnu.2.17: Zig links against stubs of that glibc version and links its own C++
# runtime (libc++, libc++abi, libunwind) statically, so the result needs nothing newer than the
# named glibc. scripts/build-wheels.sh writes the compiler wrappers into QUARNEL_ZIG_WRAPPERS and
# names the processor in QUARNEL_ZIG_ARCH; both come through the environment so that CMake's
# trial compilations see them too.
if(NOT DEFINED ENV{QUARNEL_ZIG_WRAPPERS} OR NOT DEFINED ENV{QUARNEL_ZIG_ARCH})
  message(FATAL_ERROR "ZigToolchain.cmake needs QUARNEL_ZIG_WRAPPERS and QUARNEL_ZIG_ARCH in the environment")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $ENV{QUARNEL_ZIG_ARCH})
set(CMAKE_C_COMPILER $ENV{QUARNEL_ZIG_WRAPPERS}/cc)
set(CMAKE_CXX_COMPILER $ENV{QUARNEL_ZIG_WRAPPERS}/c++)
set(CMAKE_AR $ENV{QUARNEL_ZIG_WRAPPERS}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB $ENV{QUARNEL_ZIG_WRAPPERS}/ranlib CACHE FILEPATH "")
# Libraries built for the target (libdivsufsort) are found through pkg-config and the prefix path;
# nothing of the build machine's own may be picked up.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
