# The Debian package of the release tools (tools/package/make_deb.py): its
# bytes, contents and lintian; no Wine. It packs tools/bootpack/windows, which
# the build fills.
add_test(NAME package_deb
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/deb_test.py)
