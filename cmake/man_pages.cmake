# The man pages setup-pack(1) and setup(1): scdoc sources in man/, turned into roff and
# compressed at build time (target man_pages, part of `all`), installed by cmake/install.cmake.
find_program(SCDOC scdoc REQUIRED)
find_program(GZIP gzip REQUIRED)

set(SETUP_MAN_PAGES setup-pack.1 setup.1)
set(SETUP_MAN_FILES "")
foreach(page IN LISTS SETUP_MAN_PAGES)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.scd)
  set(output ${PROJECT_BINARY_DIR}/man/${page}.gz)
  # scdoc takes the page's date from SOURCE_DATE_EPOCH where it is set; gzip -n leaves out the
  # name and time, so the same source gives the same bytes.
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${SCDOC} < ${source} > ${PROJECT_BINARY_DIR}/man/${page}
    COMMAND ${GZIP} -9nf ${PROJECT_BINARY_DIR}/man/${page}
    DEPENDS ${source}
    COMMENT "Making the man page ${page}"
    VERBATIM)
  list(APPEND SETUP_MAN_FILES ${output})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${SETUP_MAN_FILES})
