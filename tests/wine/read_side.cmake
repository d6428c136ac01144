# The read side of cRegistry on the real Win32 registry, under Wine (label `wine`).
# Included from tests/wine/CMakeLists.txt. The program seeds and removes its own keys
# under HKEY_CURRENT_USER\Software\IRPatchTest; the runner gives it a throwaway
# prefix so that nothing of the user's own Wine setup is touched.
add_executable(read_side_test ${CMAKE_CURRENT_LIST_DIR}/read_side_test.cpp)
target_link_libraries(read_side_test PRIVATE irpatch_system irpatch_warnings)
add_test(NAME wine_read_side
         COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/run_in_prefix.sh $<TARGET_FILE:read_side_test>)
set_tests_properties(wine_read_side PROPERTIES LABELS wine TIMEOUT 600)
