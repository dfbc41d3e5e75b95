# Fails when a source includes a header from a layer above its own.
# Usage: cmake -DLD_LAYER_ROOT=<source tree> [-DLD_LAYER_STAMP=<file>] -P check_layers.cmake
#
# Each layer names what it may include. diagnostics and environment share a rank: neither uses
# the other. host/ is a client of the service, not part of it, and so sees the platform only.
# backends/, bench/ and tests/ stand outside the layers and are not checked.
cmake_minimum_required(VERSION 3.25)

set(ld_allowed_platform platform)
set(ld_allowed_diagnostics platform diagnostics)
set(ld_allowed_environment platform environment)
set(ld_allowed_toolchain platform diagnostics environment toolchain)
set(ld_allowed_debugger platform diagnostics environment toolchain debugger)
set(ld_allowed_service platform diagnostics environment toolchain debugger service)
set(ld_allowed_host platform host)
set(ld_layers platform diagnostics environment toolchain debugger service host)
# Directories an include may name; anything else ("msgpack.hpp", <nlohmann/json.hpp>) is not ours.
set(ld_project_directories ${ld_layers} backends bench tests)

if(NOT LD_LAYER_ROOT)
  message(FATAL_ERROR "check_layers: LD_LAYER_ROOT is not set")
endif()

set(ld_violations "")
foreach(layer IN LISTS ld_layers)
  file(GLOB_RECURSE sources RELATIVE ${LD_LAYER_ROOT}
    ${LD_LAYER_ROOT}/${layer}/*.h ${LD_LAYER_ROOT}/${layer}/*.hpp ${LD_LAYER_ROOT}/${layer}/*.cpp
    ${LD_LAYER_ROOT}/${layer}/*.c)
  foreach(source IN LISTS sources)
    file(STRINGS ${LD_LAYER_ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][A-Za-z_]+/")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "[\"<]([A-Za-z_]+)/[^\">]*" included "${line}")
      set(target_directory ${CMAKE_MATCH_1})
      string(SUBSTRING "${included}" 1 -1 included)
      if(target_directory IN_LIST ld_project_directories AND NOT target_directory IN_LIST ld_allowed_${layer})
        string(APPEND ld_violations "  ${source}: includes ${included} (${layer} may include: "
          "${ld_allowed_${layer}})\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(ld_violations)
  string(REPLACE ";" " " ld_violations "${ld_violations}")
  message(FATAL_ERROR "Layer check: a layer includes one above it (order: platform < diagnostics, "
    "environment < toolchain < debugger < service; host uses platform only):\n${ld_violations}")
endif()
if(LD_LAYER_STAMP)
  file(TOUCH ${LD_LAYER_STAMP})
endif()
