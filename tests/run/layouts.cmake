# Installers whose setup is the test setup program, stored the two ways a
# setup runs straight from its resource: "BN" (written as setup.exe) and "B7"
# (written under its own resource name, beside a "B7" archive).
set(run_setup $<TARGET_FILE:test_setup>)
bootpack_layout(run_bn
  RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE BN SETUP.EXE ${run_setup})
bootpack_layout(run_b7
  RESOURCE B7 BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE B7 SETUP-B7.EXE ${run_setup})
