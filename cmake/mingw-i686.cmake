# The product: 32-bit Windows, loadable on Windows 98 SE and runnable on every CPU
# that runs it, from the i486 on. Our code is compiled for the i486 (tuned for
# today's CPUs: the same instructions, a smaller program) and every program links
# the C and C++ runtime rebuilt for the i486 by scripts/build-runtime.sh, found
# through -B ahead of Debian's own, which was compiled for the Pentium Pro (CMOV).
set(CMAKE_SYSTEM_PROCESSOR i686)

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
            "The i686 programs link only the i486 runtime; build it once (about 7 minutes) "
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
# A link option, not a cached _INIT flag: a new runtime (a Debian update, a changed
# recipe) reaches an existing build folder at its next configure. Through a link in
# the build folder and a relative -B (the link runs there): ld orders the pieces of
# the import tables (.idata$*) by the paths of the files they come from, so the
# cache's own path (/usr/local/lib for root, ~/.cache for a user) would change the
# program's bytes. Only Ninja runs every link in the top build folder; Make runs
# a subfolder's links in that subfolder, where -Bi486-runtime/ finds nothing and
# ld quietly takes Debian's Pentium Pro runtime.
file(CREATE_LINK ${IRPATCH_I486_RUNTIME} ${CMAKE_BINARY_DIR}/i486-runtime SYMBOLIC)
add_link_options("-Bi486-runtime/")

include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
