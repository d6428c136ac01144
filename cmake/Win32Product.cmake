# The Windows side of the build: the product's resources and link flags, and the
# Windows 98 and Wine checks. Included by the top-level CMakeLists.txt when
# building for Windows only, so the native build never sees any of it.

enable_language(RC)

target_sources(irpatch_exe PRIVATE ${PROJECT_SOURCE_DIR}/resources/IRPatch.rc)
# windres finds the icon through the include path, not next to the .rc file.
target_include_directories(irpatch_exe PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${PROJECT_SOURCE_DIR}/resources>)
set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/IRPatch.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PROJECT_SOURCE_DIR}/resources/IRPatch.ico
    ${PROJECT_SOURCE_DIR}/resources/version.h
    ${PROJECT_SOURCE_DIR}/resources/resource.h)

# A GUI program without a console. Windows 98 needs: no MinGW runtime DLLs beside
# the program (static runtime), and a subsystem version of at most 4.10 (binutils
# writes 4.0 today; said here so that a toolchain change cannot raise it unseen).
set_target_properties(irpatch_exe PROPERTIES WIN32_EXECUTABLE ON)
target_link_options(irpatch_exe PRIVATE
    -static -static-libgcc -static-libstdc++
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--gc-sections
    $<$<NOT:$<CONFIG:Debug>>:-s>)

# The program's size bound: the exe_size test fails and the release stops above it.
set(IRPATCH_EXE_SIZE_LIMIT 262144)

option(IRPATCH_WIN32_TESTS "Register the Windows 98 audit and the tests under Wine" ON)
if(IRPATCH_WIN32_TESTS)
    enable_testing()
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/win98 ${PROJECT_BINARY_DIR}/tests/win98)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wine ${PROJECT_BINARY_DIR}/tests/wine)
endif()
