# The tools' answers to bad inputs across every command (inspect is asked
# with --no-run or fails before the payload stage), and ./bootpack run's
# status, which runs a program under Wine in the build's prefix.
add_test(NAME tool_bad_inputs
         COMMAND /usr/bin/env BOOTPACK_BUILD_DIR=${CMAKE_BINARY_DIR}
                 BOOTPACK_WINEPREFIX=${BOOTPACK_WINEPREFIX}
                 ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bad_input_test.py
                 --stub-lib $<TARGET_FILE:bootpack_stub> --bin ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(tool_bad_inputs PROPERTIES FIXTURES_REQUIRED wine)

# inspect on damaged copies of a signed installer (python3-hypothesis); a few
# examples run the payload stage under Wine in the build's prefix.
add_test(NAME inspect_robustness
         COMMAND /usr/bin/env BOOTPACK_BUILD_DIR=${CMAKE_BINARY_DIR}
                 BOOTPACK_WINEPREFIX=${BOOTPACK_WINEPREFIX}
                 ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/inspect_robustness_test.py
                 --stub-lib $<TARGET_FILE:bootpack_stub> --bin ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(inspect_robustness PROPERTIES FIXTURES_REQUIRED wine)
