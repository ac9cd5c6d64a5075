# Finds libdeflate (Debian: libdeflate-dev), whose CRC-32 setup-pack uses, by its header and
# library (the releases Debian ships carry no CMake package of their own), and defines the
# imported target Libdeflate::Libdeflate.
find_path(Libdeflate_INCLUDE_DIR NAMES libdeflate.h)
find_library(Libdeflate_LIBRARY NAMES deflate)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Libdeflate
  REQUIRED_VARS Libdeflate_LIBRARY Libdeflate_INCLUDE_DIR
  REASON_FAILURE_MESSAGE "install libdeflate-dev")
mark_as_advanced(Libdeflate_INCLUDE_DIR Libdeflate_LIBRARY)

if(Libdeflate_FOUND AND NOT TARGET Libdeflate::Libdeflate)
  add_library(Libdeflate::Libdeflate UNKNOWN IMPORTED)
  set_target_properties(Libdeflate::Libdeflate PROPERTIES
    IMPORTED_LOCATION "${Libdeflate_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Libdeflate_INCLUDE_DIR}")
endif()
