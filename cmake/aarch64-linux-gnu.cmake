# Cross build for aarch64 Linux with Debian's aarch64-linux-gnu-g++, against
# the arm64 root that scripts/aarch64-root makes: the Python headers and the
# GoogleTest libraries come from there, and the tests run under qemu-aarch64
# with that root as the emulated system's files.
#
#   cmake -S . -B build-aarch64 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#         [-DKESTRIX_AARCH64_ROOT=/path/to/root]
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The compiler checks CMake makes in scratch projects see the same root.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRIX_AARCH64_ROOT)
if(NOT KESTRIX_AARCH64_ROOT)
  set(KESTRIX_AARCH64_ROOT "${CMAKE_CURRENT_LIST_DIR}/../build-aarch64/root")
endif()
get_filename_component(KESTRIX_AARCH64_ROOT "${KESTRIX_AARCH64_ROOT}" ABSOLUTE)
if(NOT EXISTS "${KESTRIX_AARCH64_ROOT}/usr/bin/python3.11")
  message(FATAL_ERROR "no arm64 root at ${KESTRIX_AARCH64_ROOT}: run scripts/aarch64-root")
endif()

# Libraries, headers and CMake packages from the root only; programs (the
# host's Python that CMake asks for paths, ninja) from the host.
set(CMAKE_FIND_ROOT_PATH "${KESTRIX_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The arm64 headers of the interpreter. Debian's pyconfig.h picks the
# processor's own copy under <triplet/python3.11/>, so the root's include
# folder is searched too, after the compiler's own.
set(Python_INCLUDE_DIR "${KESTRIX_AARCH64_ROOT}/usr/include/python3.11" CACHE PATH "")
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${KESTRIX_AARCH64_ROOT}/usr/include")
# g++ notes every std::pair argument whose passing changed in g++ 10.1; the
# module and its tests are built by one compiler, so the change never matters.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# ctest runs the programs it built, and the interpreter of the Python suite,
# under user-mode emulation.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "${KESTRIX_AARCH64_ROOT}")
set(KESTRIX_TEST_PYTHON "${KESTRIX_AARCH64_ROOT}/usr/bin/python3.11" CACHE FILEPATH "")
