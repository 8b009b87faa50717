# The Debian package of the release tools (tools/package/make_deb.py): its
# bytes, contents and lintian; no Wine. It packs tools/bootpack/windows, which
# the build fills.
add_test(NAME package_deb
         COMMAND /usr/bin/env PYTHONPATH=${CMAKE_SOURCE_DIR}/tools/package:${CMAKE_SOURCE_DIR}/tools
                 ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/deb_test.py)

# The .deb installed with its Depends alone in a fresh Debian root
# (mmdebstrap from this machine's apt sources), where every command runs and
# pack makes this checkout's bytes; needs root or user namespaces, and the
# network or apt's cache. Alone: it takes both cores for a minute.
add_test(NAME package_in_debian_root
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/debian_root_test.py
                 --bin ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(package_in_debian_root PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)

# pip install --no-build-isolation of the checkout into a venv that sees
# Debian's Python packages, offline: its bootpack packs the same bytes.
add_test(NAME package_pip_venv
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/pip_venv_test.py
                 --bin ${CMAKE_BINARY_DIR}/bin)

# Two clones of this commit built apart (other folder, umask, time zone, a
# few seconds later): the same programs for the package and the same .deb.
# Builds only the targets the package needs; alone, as it takes both cores.
add_test(NAME package_clean_builds_agree
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/clean_build_test.py)
set_tests_properties(package_clean_builds_agree PROPERTIES TIMEOUT 1200 RUN_SERIAL TRUE)

# The .deb and wine64 in a fresh Debian 13 root: the whole pipeline, inspect's
# payload stage and the Windows test kit under Wine 10, pip into a venv on
# Python 3.13. One root for all of it, from the apt cache the roots share.
add_test(NAME package_in_debian13_root
         COMMAND ${BOOTPACK_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/trixie_root_test.py
                 --bin ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(package_in_debian13_root PROPERTIES TIMEOUT 2400 RUN_SERIAL TRUE)
