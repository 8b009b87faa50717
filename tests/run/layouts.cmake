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

# Setups that fail at the last steps: one whose file cannot be created (its
# "B7" name puts it in a folder of the work directory that does not exist),
# and one that is no program at all (the archive's stand-in bytes).
bootpack_layout(run_setup_in_missing_folder
  RESOURCE B7 BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE B7 "SETUP\\SETUP.EXE" ${run_setup})
bootpack_layout(run_setup_not_a_program
  RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE BN SETUP.EXE ${BOOTPACK_FIXTURE_DIR}/archive.7z)
