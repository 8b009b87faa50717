# The tools' own tests, in Python, with the build's directories and its Wine
# prefix: tool_bad_inputs runs ./bootpack run under Wine, inspect_robustness
# the payload stage for a few of its examples.
function(bootpack_tool_test name script)
  add_test(NAME ${name}
           COMMAND /usr/bin/env BOOTPACK_BUILD_DIR=${CMAKE_BINARY_DIR}
                   BOOTPACK_WINEPREFIX=${BOOTPACK_WINEPREFIX}
                   ${Python3_EXECUTABLE} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${script}
                   --stub ${BOOTPACK_STUB_EXE} --bin ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()

# Every command's answer to bad inputs (inspect is asked with --no-run or
# fails before the payload stage), its --help, and ./bootpack run's status.
bootpack_tool_test(tool_bad_inputs bad_input_test.py)
# inspect on damaged copies of a signed installer (python3-hypothesis).
bootpack_tool_test(inspect_robustness inspect_robustness_test.py)
