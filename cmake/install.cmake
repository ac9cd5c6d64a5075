# What `cmake --install` puts where: setup-pack into bin/, the stub it packs into lib/setup/
# (a program for launcher files, not for a user's PATH), the man pages into share/man/man1/.
# setup-pack finds the stub installed with it by the same relative path.
include(GNUInstallDirs)
set(SETUP_INSTALL_STUBDIR lib/setup)

file(RELATIVE_PATH setup_pack_stub_from_executable
     /${CMAKE_INSTALL_BINDIR} /${SETUP_INSTALL_STUBDIR}/setup)
target_compile_definitions(setup_pack_core PRIVATE
  SETUP_PACK_STUB_FROM_EXECUTABLE="${setup_pack_stub_from_executable}")

install(TARGETS setup-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS setup RUNTIME DESTINATION ${SETUP_INSTALL_STUBDIR})
install(FILES ${SETUP_MAN_FILES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
