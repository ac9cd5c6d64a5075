# How the launcher stub `setup` is linked and made fit to ship.
#
# The default stub is fully static: no program interpreter and no shared library, so a
# launcher file starts on any x86-64 Linux from 3.2 on, and nothing is loaded or
# relocated at start. It is stripped, with its debug information kept beside it in
# setup.debug, and two builds of one commit give the same bytes.
#
# With SETUP_SYSTEM_LIBCURL the stub links the system's shared libcurl; the C++ runtime
# still goes into it (two libraries fewer to load at each start), except under the
# sanitizers, whose runtimes want the shared ones.
if(SETUP_SYSTEM_LIBCURL)
  if(NOT SETUP_SANITIZE)
    target_link_options(setup PRIVATE -static-libstdc++ -static-libgcc)
  endif()
  return()
endif()

target_compile_definitions(setup PRIVATE SETUP_STATIC_STUB)
target_link_options(setup PRIVATE -static)
# The link's three warnings about glibc functions that load shared libraries at run time do
# not apply to this stub; the wrapper says why and drops them, and passes on all else.
set_property(TARGET setup PROPERTY RULE_LAUNCH_LINK ${CMAKE_CURRENT_LIST_DIR}/quiet-static-link.sh)

find_program(SETUP_OBJCOPY NAMES objcopy REQUIRED)
add_custom_command(TARGET setup POST_BUILD
  COMMAND ${SETUP_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:setup> $<TARGET_FILE_NAME:setup>.debug
  COMMAND ${SETUP_OBJCOPY} --strip-all --add-gnu-debuglink=$<TARGET_FILE_NAME:setup>.debug
          $<TARGET_FILE_NAME:setup>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:setup>
  COMMENT "Stripping the stub, debug information kept in setup.debug"
  VERBATIM)

# The same launcher linked against the system's shared libcurl, beside the static one:
# the tests show that it does not start where the static one does, and the benchmarks
# compare the two.
find_package(CURL REQUIRED)
add_executable(setup-system-libcurl ${PROJECT_SOURCE_DIR}/src/bootstrap/main.cpp)
target_link_libraries(setup-system-libcurl PRIVATE setup_core CURL::libcurl)
target_link_options(setup-system-libcurl PRIVATE -static-libstdc++ -static-libgcc)
