# Finds the Simple OpenGL Image Library and provides the imported target SOIL::SOIL.
# Debian's libsoil-dev installs SOIL/SOIL.h and libSOIL.so without a CMake or
# pkg-config description, so the header and library are located directly.

find_path(SOIL_INCLUDE_DIR NAMES SOIL/SOIL.h)
find_library(SOIL_LIBRARY NAMES SOIL soil)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(SOIL REQUIRED_VARS SOIL_LIBRARY SOIL_INCLUDE_DIR)

if(SOIL_FOUND AND NOT TARGET SOIL::SOIL)
  add_library(SOIL::SOIL UNKNOWN IMPORTED)
  set_target_properties(SOIL::SOIL PROPERTIES
    IMPORTED_LOCATION "${SOIL_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SOIL_INCLUDE_DIR}")
  # The library names the GL library it calls into itself: what links SOIL
  # but draws nothing, the decoder program, loads no more of GL than that.
endif()

mark_as_advanced(SOIL_INCLUDE_DIR SOIL_LIBRARY)
