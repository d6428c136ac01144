# The Windows side of the build: the product's resources and link flags, and the
# Windows 98 and Wine checks. Included by the top-level CMakeLists.txt when
# building for Windows only, so the native build never sees any of it.

target_sources(irpatch_exe PRIVATE ${PROJECT_SOURCE_DIR}/resources/IRPatch.rc)
# windres finds the icon through the include path, not next to the .rc file; the
# generated version.h is in the build folder.
target_include_directories(irpatch_exe PRIVATE
    $<$<COMPILE_LANGUAGE:RC>:${PROJECT_SOURCE_DIR}/resources>
    $<$<COMPILE_LANGUAGE:RC>:${PROJECT_BINARY_DIR}/generated/resources>)
set_property(SOURCE ${PROJECT_SOURCE_DIR}/resources/IRPatch.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PROJECT_SOURCE_DIR}/resources/IRPatch.ico
    ${PROJECT_BINARY_DIR}/generated/resources/version.h
    ${PROJECT_SOURCE_DIR}/resources/resource.h)

# A GUI program without a console. Windows 98 needs: no MinGW runtime DLLs beside
# the program (the static runtime, linked into every program of this build by the
# toolchain file), and a subsystem version of at most 4.10 (binutils writes 4.0
# today; said here so that a toolchain change cannot raise it unseen).
set_target_properties(irpatch_exe PROPERTIES WIN32_EXECUTABLE ON)
target_link_options(irpatch_exe PRIVATE
    -Wl,--subsystem,windows:4.0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0
    -Wl,--gc-sections
    $<$<NOT:$<CONFIG:Debug>>:-s>)

# The product is 32-bit: only such a program loads on Windows 98, and the Wine
# suites run it in a 32-bit prefix. No other Windows build is made.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    message(FATAL_ERROR "The Windows build is the i686 product only (cmake --preset win32)")
endif()

# The audits, the release's checks and the Wine suites' test copies read programs
# through pefile (tests/win98/pe_read.py): Debian's python3-pefile, which only
# /usr/bin/python3 sees, while the first python3 on PATH may be another (pyenv's).
# The build's one interpreter is the first of the two that imports it.
if(NOT DEFINED CACHE{Python3_EXECUTABLE})
    find_program(_irpatch_path_python3 python3 NO_CACHE)
    foreach(_irpatch_python IN ITEMS ${_irpatch_path_python3} /usr/bin/python3)
        execute_process(COMMAND ${_irpatch_python} -c "import pefile"
                        RESULT_VARIABLE _irpatch_status OUTPUT_QUIET ERROR_QUIET)
        if(_irpatch_status EQUAL 0)
            set(Python3_EXECUTABLE ${_irpatch_python} CACHE FILEPATH "The Python 3 interpreter, one with pefile")
            break()
        endif()
    endforeach()
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
execute_process(COMMAND ${Python3_EXECUTABLE} -c "import pefile"
                RESULT_VARIABLE _irpatch_status OUTPUT_QUIET ERROR_QUIET)
if(NOT _irpatch_status EQUAL 0)
    message(FATAL_ERROR "${Python3_EXECUTABLE} cannot import pefile, with which the Windows checks read "
            "programs: run scripts/setup.sh win32 (it installs Debian's python3-pefile for /usr/bin/python3), "
            "or configure with -DPython3_EXECUTABLE=<an interpreter that has it>.")
endif()

# The CPU audit (tests/win98/check_cpu.py) tells the product's code from the data in
# its .text by the linker's map of the same link, and checks that the runtime came
# from the i486 build. The map names local folders; the program does not.
set(IRPATCH_EXE_MAP ${PROJECT_BINARY_DIR}/${IRPATCH_EXE_NAME}.map)
target_link_options(irpatch_exe PRIVATE -Wl,-Map,${IRPATCH_EXE_MAP})
find_program(IRPATCH_OBJDUMP NAMES i686-w64-mingw32-objdump REQUIRED)
set(IRPATCH_CPU_CHECK ${PROJECT_SOURCE_DIR}/tests/win98/check_cpu.py
    --map ${IRPATCH_EXE_MAP}
    --allowed ${PROJECT_SOURCE_DIR}/tests/win98/allowed-cpu.txt
    --runtime ${IRPATCH_I486_RUNTIME}
    --objdump ${IRPATCH_OBJDUMP})

# The program's size bound: the exe_size test fails and the release stops above it.
set(IRPATCH_EXE_SIZE_LIMIT 262144)

option(IRPATCH_WIN32_TESTS "Register the Windows 98 audit and the tests under Wine" ON)
if(IRPATCH_WIN32_TESTS)
    enable_testing()
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/win98 ${PROJECT_BINARY_DIR}/tests/win98)
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wine ${PROJECT_BINARY_DIR}/tests/wine)
    # The About dialog's window under Wine (label gui).
    add_subdirectory(${PROJECT_SOURCE_DIR}/tests/wine/about ${PROJECT_BINARY_DIR}/tests/wine/about)
endif()

# The release target, which scripts/release.sh builds in a fresh build folder: first
# the program's size against the bound above and its instructions against the i486;
# then release/package.py writes IRPatch-K314-W98-FRN-<version>.zip (the program,
# release/LISEZMOI.TXT and their SHA-256 sums) and the floppy image
# IRPatch-K314-W98-FRN-<version>.img holding the same three files, the version
# written as the program shows it, "1.00" for 1.0.
set(IRPATCH_RELEASE_DIR ${PROJECT_BINARY_DIR}/dist CACHE PATH
    "Where the release target writes the zip and the floppy image")
add_custom_target(release
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tests/win98/exe_size.py
            $<TARGET_FILE:irpatch_exe> --limit ${IRPATCH_EXE_SIZE_LIMIT}
    COMMAND Python3::Interpreter ${IRPATCH_CPU_CHECK} $<TARGET_FILE:irpatch_exe>
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/release/package.py
            --source ${PROJECT_SOURCE_DIR}
            --out ${IRPATCH_RELEASE_DIR}/${IRPATCH_PRODUCT_NAME}-${IRPATCH_VERSION_TEXT}.zip
            --image ${IRPATCH_RELEASE_DIR}/${IRPATCH_PRODUCT_NAME}-${IRPATCH_VERSION_TEXT}.img
            $<TARGET_FILE:irpatch_exe> ${PROJECT_SOURCE_DIR}/release/LISEZMOI.TXT
    VERBATIM)
add_dependencies(release irpatch_exe)

if(IRPATCH_WIN32_TESTS)
    set(_irpatch_check ${PROJECT_SOURCE_DIR}/tests/release/check_release.py)
    add_test(NAME release_notes COMMAND Python3::Interpreter ${_irpatch_check}
             notes ${PROJECT_SOURCE_DIR}/release/LISEZMOI.TXT)
    set_tests_properties(release_notes PROPERTIES LABELS audit)
    # Two whole releases, each in a fresh build folder of its own.
    add_test(NAME release_reproducible COMMAND Python3::Interpreter ${_irpatch_check}
             reproducible --source ${PROJECT_SOURCE_DIR} --work ${PROJECT_BINARY_DIR}/tests/release)
    set_tests_properties(release_reproducible PROPERTIES LABELS release TIMEOUT 1200)
endif()
