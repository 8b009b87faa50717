# Payload layouts of the payload tests: every edge of finding and classifying
# the resources, packed into real images.
set(payload_fixtures ${BOOTPACK_FIXTURE_DIR}/payload)
file(MAKE_DIRECTORY ${payload_fixtures})
set(archive ${payload_fixtures}/archive.7z)
set(setup ${payload_fixtures}/setup.bin)
set(empty ${payload_fixtures}/empty.bin)
set(two_chunks ${payload_fixtures}/setup_two_chunks.bin)
# The stub never reads the archive: any bytes stand in for one. Setup's bytes
# are checked after they are written, so they follow a pattern that shows a
# misplaced block, and one setup needs two write requests of at most 8 MiB.
file(WRITE ${archive} "7z stand-in archive")
if(NOT EXISTS ${setup} OR NOT EXISTS ${two_chunks})
  execute_process(COMMAND ${Python3_EXECUTABLE} -c [[
import sys
def pattern(size):
    block = bytes((i * 7 + i // 251) & 0xFF for i in range(65521))
    data = (b'MZ' + block * (size // len(block) + 1))[:size]
    return data
open(sys.argv[1], 'wb').write(pattern(70001))
open(sys.argv[2], 'wb').write(pattern(8388609))
]] ${setup} ${two_chunks} COMMAND_ERROR_IS_FATAL ANY)
endif()
file(WRITE ${empty} "")

# Names of exactly 259 and 260 characters.
string(REPEAT "X" 253 pad253)
string(REPEAT "X" 255 pad255)
set(archive_259 BRISEL${pad253})
set(setup_260 SETUP${pad255})

bootpack_layout(payload_plain
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_setup_only RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_second_archive
  RESOURCE B7 BRISEL.7Z ${archive} RESOURCE BN BRISEL.ZIP ${archive}
  RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_second_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BL SETUP.EX_ ${setup}
  RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_readme_beside_archive
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN README ${archive}
  RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_readme_after_b7_archive
  RESOURCE B7 BRISEL.7Z ${archive} RESOURCE BN README ${archive}
  RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_mixed_case_names
  RESOURCE BN brisel.7z ${archive} RESOURCE BN Setup.exe ${setup})
bootpack_layout(payload_setupx
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN setupx ${setup})
bootpack_layout(payload_my_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN my-setup.exe ${setup})
bootpack_layout(payload_b7_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE B7 SETUP.EXE ${setup})
bootpack_layout(payload_b7_setup_own_name
  RESOURCE B7 BRISEL.DAT ${archive} RESOURCE B7 SETUP-B7.EXE ${setup})
bootpack_layout(payload_bl_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BL SETUP.EX_ ${setup})
bootpack_layout(payload_bl_short_name
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BL SETUP ${setup})
bootpack_layout(payload_archive_259
  RESOURCE BN ${archive_259} ${archive} RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_setup_260
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN ${setup_260} ${setup})
bootpack_layout(payload_setup_260_after_b7_archive
  RESOURCE B7 BRISEL.7Z ${archive} RESOURCE BN ${setup_260} ${setup})
bootpack_layout(payload_integer_identifier
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP.EXE ${setup} RESOURCE BN "#5" ${archive})
bootpack_layout(payload_only_integer_identifier
  RESOURCE B7 BRISEL.7Z ${archive} RESOURCE BL "#1" ${archive} RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_empty_resource_first
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN README ${empty} RESOURCE BN SETUP.EXE ${setup})
bootpack_layout(payload_empty_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP.EXE ${empty})
bootpack_layout(payload_other_types_only
  RESOURCE BX BRISEL.7Z ${archive} RESOURCE "#10" SETUP.EXE ${setup})
bootpack_layout(payload_two_chunk_setup
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP.EXE ${two_chunks})

# A name far beyond what the stub accepts: the packer must still store it.
string(REPEAT "X" 295 pad295)
bootpack_layout(payload_setup_300
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP${pad295} ${setup})

# Setup programs that really run: the cabinet tests' stand-in ends with 0
# only when it runs as "setup.exe", and with 1 under any other name.
set(named_setup $<TARGET_FILE:cabinet_setup>)
bootpack_layout(payload_bn_setup_runs
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE BN SETUP.EXE ${named_setup})
bootpack_layout(payload_b7_setup_runs_under_own_name
  RESOURCE BN BRISEL.7Z ${archive} RESOURCE B7 SETUP-B7.EXE ${named_setup})
