# Every command's answer to bad inputs (inspect is asked with --no-run or
# fails before the payload stage), its --help, and ./bootpack run's status.
bootpack_tool_test(tool_bad_inputs ${CMAKE_CURRENT_LIST_DIR}/bad_input_test.py)
# inspect on damaged copies of a signed installer (python3-hypothesis).
bootpack_tool_test(inspect_robustness ${CMAKE_CURRENT_LIST_DIR}/inspect_robustness_test.py)
# Generated product files, statements, certificates and signatures through
# pack, verify, inspect, sign and attach (python3-hypothesis).
bootpack_tool_test(generated_inputs ${CMAKE_CURRENT_LIST_DIR}/generated_input_test.py)
