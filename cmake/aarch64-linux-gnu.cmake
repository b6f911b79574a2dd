# CMake toolchain for 64-bit ARM Linux (aarch64), built on an x86-64 host:
#
#   cmake -S . -B build/x -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
#         -DPython_EXECUTABLE=$KESTRUNE_AARCH64_ROOT/usr/bin/python3.14
#
# The compilers are the distribution's cross compilers (g++-aarch64-linux-gnu,
# with their own glibc headers and libraries); the interpreter's headers and
# the interpreter itself come from an unpacked aarch64 root filesystem
# (KESTRUNE_AARCH64_ROOT, default /var/cache/kestrune-py314/aarch64), whose
# interpreter CMake runs through the user-mode emulator to read its
# configuration (policy CMP0190, which must be set on the command line: here
# it would come too late for FindPython).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(DEFINED ENV{KESTRUNE_AARCH64_ROOT})
  set(KESTRUNE_AARCH64_ROOT "$ENV{KESTRUNE_AARCH64_ROOT}")
elseif(NOT KESTRUNE_AARCH64_ROOT)
  set(KESTRUNE_AARCH64_ROOT /var/cache/kestrune-py314/aarch64)
endif()
# (CMake reads this file again for each compiler check, with this variable.)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRUNE_AARCH64_ROOT)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers and libraries from the root; programs (ninja, the compilers) from
# the host.
set(CMAKE_FIND_ROOT_PATH "${KESTRUNE_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The root's /usr/include holds the interpreter's multiarch configuration
# (aarch64-linux-gnu/python3.14/pyconfig.h), searched after the cross
# compiler's own glibc headers so that those stay first.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${KESTRUNE_AARCH64_ROOT}/usr/include")

find_program(KESTRUNE_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KESTRUNE_QEMU_AARCH64};-L;${KESTRUNE_AARCH64_ROOT}")
