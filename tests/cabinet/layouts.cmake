# Cabinets made with gcab through the packer's cabinet tool, a stand-in for
# the cabinet library, and images whose setup program is stored as a cabinet
# (resource type BL).
set(BOOTPACK_CABINET_DIR ${CMAKE_BINARY_DIR}/bin/cabinets)
set(BOOTPACK_CABINET_TOOL ${BOOTPACK_PACKAGE_DIR}/pack/cabinet.py)
file(MAKE_DIRECTORY ${BOOTPACK_CABINET_DIR})

# bootpack_cabinet(NAME DEPENDS... ENTRIES FILE[:NAME_INSIDE]...) makes
# build/bin/cabinets/NAME.cab.
function(bootpack_cabinet name)
  cmake_parse_arguments(PARSE_ARGV 1 cab "" "" "DEPENDS;ENTRIES")
  set(out ${BOOTPACK_CABINET_DIR}/${name}.cab)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${BOOTPACK_PYTHON} -m bootpack.pack.cabinet --out ${out} ${cab_ENTRIES}
    DEPENDS ${BOOTPACK_CABINET_TOOL} ${cab_DEPENDS}
    COMMENT "Making test cabinet ${name}.cab"
    VERBATIM)
  set(BOOTPACK_LAYOUTS ${BOOTPACK_LAYOUTS} ${out} PARENT_SCOPE)
endfunction()

set(cabinet_setup_exe $<TARGET_FILE:cabinet_setup>)
bootpack_cabinet(setup DEPENDS cabinet_setup ENTRIES ${cabinet_setup_exe})
bootpack_cabinet(several DEPENDS cabinet_setup winrun ${BOOTPACK_FIXTURE_DIR}/archive.7z
                 ENTRIES ${cabinet_setup_exe}:first.exe $<TARGET_FILE:winrun>:second.exe
                         ${BOOTPACK_FIXTURE_DIR}/archive.7z:third.7z)

# The setup cabinet cut to half its length.
set(cabinet_cut_short ${BOOTPACK_CABINET_DIR}/cut_short.cab)
add_custom_command(
  OUTPUT ${cabinet_cut_short}
  COMMAND ${Python3_EXECUTABLE} -c
          "import sys; d = open(sys.argv[1], 'rb').read(); open(sys.argv[2], 'wb').write(d[:len(d) // 2])"
          ${BOOTPACK_CABINET_DIR}/setup.cab ${cabinet_cut_short}
  DEPENDS ${BOOTPACK_CABINET_DIR}/setup.cab
  COMMENT "Cutting the setup cabinet short"
  VERBATIM)
list(APPEND BOOTPACK_LAYOUTS ${cabinet_cut_short})

bootpack_layout(cabinet_setup
  RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE BL SETUP.EX_ ${BOOTPACK_CABINET_DIR}/setup.cab)
bootpack_layout(cabinet_cut_short
  RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE BL SETUP.EX_ ${cabinet_cut_short})
bootpack_layout(cabinet_short_name
  RESOURCE BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
  RESOURCE BL setup ${BOOTPACK_CABINET_DIR}/setup.cab)

# The packer makes the cabinet itself from the setup program (--cabinet).
set(cabinet_packed ${BOOTPACK_LAYOUT_DIR}/cabinet_packed.exe)
add_custom_command(
  OUTPUT ${cabinet_packed}
  COMMAND ${BOOTPACK_PACK} --stub ${BOOTPACK_STUB_EXE}
          --out ${cabinet_packed}
          --resource BN BRISEL.7Z ${BOOTPACK_FIXTURE_DIR}/archive.7z
          --resource BL SETUP.EX_ ${cabinet_setup_exe} --cabinet
  DEPENDS bootpack_exe ${BOOTPACK_STUB_EXE} cabinet_setup ${BOOTPACK_PACK_SOURCES}
  COMMENT "Packing test layout cabinet_packed"
  VERBATIM)
list(APPEND BOOTPACK_LAYOUTS ${cabinet_packed})

# A library that loads as the cabinet library but lacks an entry point, in a
# stand-in Windows directory: bin/stand_in/system32/cabinet.dll.
add_library(cabinet_stand_in SHARED ${CMAKE_CURRENT_LIST_DIR}/stand_in_cabinet_library.cc)
set_target_properties(cabinet_stand_in PROPERTIES
  OUTPUT_NAME cabinet PREFIX ""
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/stand_in/system32)
target_link_options(cabinet_stand_in PRIVATE -static)
# Built with the test layouts, so that the cabinet tests never run without it.
set(cabinet_stand_in_stamp ${CMAKE_BINARY_DIR}/bin/stand_in/built.stamp)
add_custom_command(
  OUTPUT ${cabinet_stand_in_stamp}
  COMMAND ${CMAKE_COMMAND} -E touch ${cabinet_stand_in_stamp}
  DEPENDS cabinet_stand_in
  VERBATIM)
list(APPEND BOOTPACK_LAYOUTS ${cabinet_stand_in_stamp})
