# The same sources for 64-bit Windows: not shipped, but the build the Wine suites
# run where the host kernel cannot execute 32-bit programs (64-bit Wine only).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
