# The tools' answers to bad inputs across every command, on Linux: no Wine
# needed (inspect is asked with --no-run or fails before the payload stage).
add_test(NAME tool_bad_inputs
         COMMAND /usr/bin/env BOOTPACK_BUILD_DIR=${CMAKE_BINARY_DIR}
                 BOOTPACK_WINEPREFIX=${BOOTPACK_WINEPREFIX}
                 ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/bad_input_test.py
                 --stub-lib $<TARGET_FILE:bootpack_stub> --bin ${CMAKE_BINARY_DIR}/bin)
