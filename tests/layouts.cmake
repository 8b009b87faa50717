# bootpack_layout(NAME [RESOURCE TYPE NAME FILE]...) packs build/bin/layouts/NAME.exe
# with exactly the resources given, through the same packer as ./bootpack pack.
set(BOOTPACK_LAYOUT_DIR ${CMAKE_BINARY_DIR}/bin/layouts)
set(BOOTPACK_LAYOUTS)

function(bootpack_layout name)
  set(pack_args)
  set(depends)
  set(rest ${ARGN})
  while(rest)
    list(POP_FRONT rest keyword type res_name file)
    if(NOT keyword STREQUAL "RESOURCE")
      message(FATAL_ERROR "bootpack_layout(${name}): expected RESOURCE, got ${keyword}")
    endif()
    list(APPEND pack_args --resource ${type} ${res_name} ${file})
    list(APPEND depends ${file})
  endwhile()
  set(out ${BOOTPACK_LAYOUT_DIR}/${name}.exe)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${BOOTPACK_PACK} --stub ${BOOTPACK_STUB_EXE}
            --out ${out} ${pack_args}
    DEPENDS bootpack_exe ${BOOTPACK_STUB_EXE} ${BOOTPACK_PACK_SOURCES} ${depends}
    COMMENT "Packing test layout ${name}"
    VERBATIM)
  set(BOOTPACK_LAYOUTS ${BOOTPACK_LAYOUTS} ${out} PARENT_SCOPE)
endfunction()

# A layout may name a file that the build makes, such as a test program:
# $<TARGET_FILE:name> works as FILE, and the target is built first.

# Payload files the layouts are made of.
set(BOOTPACK_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures)
file(MAKE_DIRECTORY ${BOOTPACK_FIXTURE_DIR})
# The stub never reads the archive: any bytes stand in for one.
file(WRITE ${BOOTPACK_FIXTURE_DIR}/archive.7z "stand-in archive")
file(WRITE ${BOOTPACK_FIXTURE_DIR}/empty.bin "")

bootpack_layout(no_payload)
bootpack_layout(archive_only RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z)


# bootpack_tool_test(NAME SCRIPT [ARGS...]): a Python test of the tools, run
# with the build's directories, its stub and its Wine prefix.
function(bootpack_tool_test name script)
  add_test(NAME ${name}
           COMMAND /usr/bin/env BOOTPACK_BUILD_DIR=${CMAKE_BINARY_DIR}
                   BOOTPACK_WINEPREFIX=${BOOTPACK_WINEPREFIX}
                   ${BOOTPACK_PYTHON} ${script}
                   --stub ${BOOTPACK_STUB_EXE} --bin ${CMAKE_BINARY_DIR}/bin ${ARGN})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
endfunction()
