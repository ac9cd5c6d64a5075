# `make package`: a Debian package of what cmake/install.cmake installs, under /usr, with the
# run-time dependencies that dpkg-shlibdeps finds in the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME setup-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "makes launcher files for the setup bootstrap launcher")
set(CPACK_PACKAGE_DESCRIPTION
  "setup-pack appends an installer bundle and, optionally, a local install agent to the setup stub, which this package installs as /usr/lib/setup/setup. The launcher file it makes unpacks itself, makes the install agent ready (from the launcher file or from a per-user cache refreshed over HTTPS) and runs it.")
set(CPACK_PACKAGE_CONTACT "Release engineering <release@example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
