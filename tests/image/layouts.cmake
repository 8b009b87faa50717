# A product packed the way a release engineer packs one (product mode, with a
# version), so the image tests see that route as well as the bare stub and the
# raw test layouts.
set(image_product_archive ${BOOTPACK_FIXTURE_DIR}/image_product.7z)
add_custom_command(
  OUTPUT ${image_product_archive}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${image_product_archive}
  COMMAND 7zz a -bso0 -bsp0 ${image_product_archive} ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS ${CMAKE_CURRENT_LIST_FILE}
  COMMENT "Making the image tests' 7z archive"
  VERBATIM)
set(image_product ${BOOTPACK_LAYOUT_DIR}/image_product.exe)
add_custom_command(
  OUTPUT ${image_product}
  COMMAND ${BOOTPACK_PACK} --stub ${BOOTPACK_STUB_EXE}
          --archive ${image_product_archive} --setup $<TARGET_FILE:winrun>
          --version 2.5.7.11 --out ${image_product}
  DEPENDS bootpack_exe ${BOOTPACK_STUB_EXE} winrun ${BOOTPACK_PACK_SOURCES} ${image_product_archive}
  COMMENT "Packing test product image_product"
  VERBATIM)
list(APPEND BOOTPACK_LAYOUTS ${image_product})

# The packer's layout checks in product mode, on Linux: no Wine needed.
add_test(NAME pack_product_layouts
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/pack_product_test.py
                 --stub ${BOOTPACK_STUB_EXE})

# Signing and inspecting a packed product; inspect runs the payload stage
# under Wine in the build's prefix.
bootpack_tool_test(sign_and_inspect ${CMAKE_CURRENT_LIST_DIR}/sign_inspect_test.py)

# Installers made from the stub with Python alone, read back with pefile; one
# of them runs under Wine.
bootpack_tool_test(installer_from_stub ${CMAKE_CURRENT_LIST_DIR}/installer_test.py
                   --prefix ${BOOTPACK_WINEPREFIX})

# Signing from each key store (encrypted PEM, PKCS#12, a SoftHSM2 token) with
# time stamps from a server on 127.0.0.1, and ./bootpack verify; no Wine.
add_test(NAME sign_key_stores
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/sign_key_stores_test.py
                 --installer ${image_product} --stub ${BOOTPACK_STUB_EXE})
# The same tests that sign as another user, from a copy of the tree in a
# folder of mode 0700 whose path has a space.
add_test(NAME tools_in_private_checkout
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/private_checkout_test.py
                 --installer ${image_product})
