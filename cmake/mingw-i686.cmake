# Cross-build of the product with MinGW-w64 (Debian's i686-w64-mingw32 tools): 32-bit
# Windows, loadable on Windows 98 SE and runnable on every CPU that runs it, from the
# i486 on. Our code is compiled for the i486 (tuned for today's CPUs: the same
# instructions, a smaller program) and every program links the C and C++ runtime
# rebuilt for the i486 by scripts/build-runtime.sh, found through -B ahead of
# Debian's own, which was compiled for the Pentium Pro (CMOV).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The toolchain must use the `win32` thread model: the `posix` model links
# winpthreads, which imports functions that first appeared in Windows XP and Vista.
# Debian installs both variants; the `-win32` suffixed compilers are picked when
# present so that a machine whose alternatives point at `-posix` still builds a
# loadable program.
set(_irpatch_triple i686-w64-mingw32)
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

# The runtime is found through a path relative to the top build folder (below),
# so every link must run there.
if(NOT CMAKE_GENERATOR MATCHES "^Ninja")
    message(FATAL_ERROR "The Windows build needs the Ninja generator (cmake --preset win32), not "
            "\"${CMAKE_GENERATOR}\": its programs find the i486 runtime through -Bi486-runtime/, a path "
            "relative to the top build folder, where only Ninja runs every link. Under another "
            "generator the programs in subfolders would link Debian's Pentium Pro runtime.")
endif()

execute_process(COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-runtime.sh --where
                OUTPUT_VARIABLE IRPATCH_I486_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_VARIABLE _irpatch_runtime_error RESULT_VARIABLE _irpatch_runtime_status)
if(NOT _irpatch_runtime_status EQUAL 0)
    message(FATAL_ERROR "${_irpatch_runtime_error}"
            "The i686 programs link only the i486 runtime; build it once (several minutes) "
            "with scripts/setup.sh win32 or scripts/build-runtime.sh, then configure again.")
endif()
# The CPU flags are defined once, in the runtime's recipe: our code and the runtime are
# compiled for the same CPU.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../scripts/runtime-recipe.sh _irpatch_cpu_flags
     REGEX "^CPU_FLAGS=\"[^\"]+\"$")
string(REGEX REPLACE "^CPU_FLAGS=\"([^\"]+)\"$" "\\1" _irpatch_cpu_flags "${_irpatch_cpu_flags}")
if(NOT _irpatch_cpu_flags MATCHES "^-march=")
    message(FATAL_ERROR "scripts/runtime-recipe.sh holds no line CPU_FLAGS=\"-march=...\"")
endif()

# Every program of this build, tests included, must run on a Windows without the
# MinGW runtime DLLs. Function and data sections let the linker drop what the
# program never calls.
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

# The runtime: a link option, not a cached _INIT flag, so a new runtime (a Debian
# update, a changed recipe) reaches an existing build folder at its next configure.
# Through a link in the build folder and a relative -B (the link runs there): ld
# orders the pieces of the import tables (.idata$*) by the paths of the files they
# come from, so the cache's own path (/usr/local/lib for root, ~/.cache for a user)
# would change the program's bytes. Only Ninja runs every link in the top build
# folder; Make runs a subfolder's links in that subfolder, where -Bi486-runtime/
# finds nothing and ld quietly takes Debian's Pentium Pro runtime.
file(CREATE_LINK ${IRPATCH_I486_RUNTIME} ${CMAKE_BINARY_DIR}/i486-runtime SYMBOLIC)
add_link_options("-Bi486-runtime/")
