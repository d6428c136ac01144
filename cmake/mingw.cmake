# Cross-build for Windows with MinGW-w64 (Debian's <processor>-w64-mingw32 tools):
# the compilers and flags of the toolchain file mingw-i686.cmake, which sets
# CMAKE_SYSTEM_PROCESSOR, its CPU flags and its runtime, then includes this file.
#
# The product must load on Windows 98 SE, so the toolchain must use the `win32`
# thread model: the `posix` model links winpthreads, which imports functions that
# first appeared in Windows XP and Vista. Debian installs both variants; the
# `-win32` suffixed compilers are picked when present so that a machine whose
# alternatives point at `-posix` still builds a loadable program.
set(CMAKE_SYSTEM_NAME Windows)

set(_irpatch_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

find_program(_irpatch_cxx NAMES ${_irpatch_triple}-g++-win32 ${_irpatch_triple}-g++ REQUIRED)
find_program(_irpatch_cc NAMES ${_irpatch_triple}-gcc-win32 ${_irpatch_triple}-gcc REQUIRED)
find_program(_irpatch_rc NAMES ${_irpatch_triple}-windres REQUIRED)

set(CMAKE_CXX_COMPILER ${_irpatch_cxx})
set(CMAKE_C_COMPILER ${_irpatch_cc})
set(CMAKE_RC_COMPILER ${_irpatch_rc})

set(CMAKE_FIND_ROOT_PATH /usr/${_irpatch_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No CMAKE_CROSSCOMPILING_EMULATOR: a bare `wine` would run in the user's own
# prefix. The tests under Wine make a throwaway prefix of their own
# (tests/wine/winemachine.py) and run the Windows programs there.

# Every program of this build, tests included, must run on a Windows without the
# MinGW runtime DLLs. Function and data sections let the linker drop what the
# program never calls. The toolchain file gives its CPU flags (_irpatch_cpu_flags)
# and links its own runtime.
#
# The same sources must give the same bytes (scripts/release.sh, docs/windows.md):
# the linker writes 0 instead of the link time in the PE header, and file names
# that reach the objects (__FILE__, debug info) are recorded relative to the
# source folder and the build folder, whose own paths vary from one checkout or
# build to the next. GCC lets the last matching map win, so the build folder's,
# which may lie inside the source folder, comes second. The maps are compile
# options, each one argument, not words of the flags string, which the command
# line splits at every blank of a folder's path ("my projects"); C++ only, as
# windres takes no such option.
set(CMAKE_CXX_FLAGS_INIT "${_irpatch_cpu_flags} -ffunction-sections -fdata-sections")
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
                    "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")
