# libcurl for the launcher: setup_curl_headers to compile against it, setup_libcurl to
# link it (every executable that holds setup_core links it, so that one companion stub
# can link the system's libcurl instead).
#
# By default the launcher is fully static, so that a launcher file starts on any x86-64
# Linux whatever libraries it has: a minimal libcurl (HTTP and HTTPS over OpenSSL) is
# built once per build tree from Debian's curl source package, or from the tree that
# SETUP_CURL_SOURCE_DIR names, and linked with the static OpenSSL of libssl-dev.
# SETUP_SYSTEM_LIBCURL links the system's shared libcurl instead (distribution packages,
# the sanitizer build).
option(SETUP_SYSTEM_LIBCURL "Link setup against the system's shared libcurl" OFF)
set(SETUP_CURL_SOURCE_DIR "" CACHE PATH
    "An unpacked curl source tree for the static libcurl (default: fetched with apt)")

add_library(setup_curl_headers INTERFACE)
add_library(setup_libcurl INTERFACE)

if(SETUP_SYSTEM_LIBCURL)
  find_package(CURL REQUIRED)
  target_include_directories(setup_curl_headers INTERFACE
    $<TARGET_PROPERTY:CURL::libcurl,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(setup_libcurl INTERFACE setup_curl_headers CURL::libcurl)
  return()
endif()

set(SETUP_STATIC_CURL_DIR ${CMAKE_BINARY_DIR}/static-curl)
message(STATUS "Static libcurl in ${SETUP_STATIC_CURL_DIR}")
execute_process(
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/static-curl.sh ${SETUP_STATIC_CURL_DIR} ${SETUP_CURL_SOURCE_DIR}
  RESULT_VARIABLE static_curl_result)
if(NOT static_curl_result EQUAL 0)
  message(FATAL_ERROR "The static libcurl could not be made (see above)")
endif()

set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL REQUIRED)
find_package(Threads REQUIRED)
target_include_directories(setup_curl_headers SYSTEM INTERFACE ${SETUP_STATIC_CURL_DIR}/prefix/include)
target_compile_definitions(setup_curl_headers INTERFACE CURL_STATICLIB)
target_link_libraries(setup_libcurl INTERFACE setup_curl_headers
  ${SETUP_STATIC_CURL_DIR}/prefix/lib/libcurl.a OpenSSL::SSL OpenSSL::Crypto Threads::Threads
  ${CMAKE_DL_LIBS})
