# Runs cmake/check_layers.cmake whenever a layer's source changes, before any library builds:
# an include from a higher layer fails the build with the file and the include named.
file(GLOB_RECURSE LD_LAYERED_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/*.h ${CMAKE_SOURCE_DIR}/platform/*.cpp
  ${CMAKE_SOURCE_DIR}/diagnostics/*.h ${CMAKE_SOURCE_DIR}/diagnostics/*.cpp
  ${CMAKE_SOURCE_DIR}/environment/*.h ${CMAKE_SOURCE_DIR}/environment/*.cpp
  ${CMAKE_SOURCE_DIR}/toolchain/*.h ${CMAKE_SOURCE_DIR}/toolchain/*.cpp
  ${CMAKE_SOURCE_DIR}/debugger/*.h ${CMAKE_SOURCE_DIR}/debugger/*.cpp
  ${CMAKE_SOURCE_DIR}/service/*.h ${CMAKE_SOURCE_DIR}/service/*.cpp
  ${CMAKE_SOURCE_DIR}/host/*.h ${CMAKE_SOURCE_DIR}/host/*.cpp)
set(LD_LAYER_STAMP ${CMAKE_BINARY_DIR}/layer_check.stamp)
add_custom_command(OUTPUT ${LD_LAYER_STAMP}
  COMMAND ${CMAKE_COMMAND} -DLD_LAYER_ROOT=${CMAKE_SOURCE_DIR} -DLD_LAYER_STAMP=${LD_LAYER_STAMP}
    -P ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
  DEPENDS ${LD_LAYERED_SOURCES} ${CMAKE_SOURCE_DIR}/cmake/check_layers.cmake
  COMMENT "Checking that each layer includes only the layers below it"
  VERBATIM)
add_custom_target(ld_layer_check ALL DEPENDS ${LD_LAYER_STAMP})
