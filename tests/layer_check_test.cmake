# Runs the layer check on small trees, one include each, and checks its verdict and what it names.
# Usage: cmake -DLD_SOURCE_DIR=<source tree> -DLD_WORK_DIR=<scratch directory> -P layer_check_test.cmake
cmake_minimum_required(VERSION 3.25)

# file | include line | expected: ok or fail
set(cases
  "platform/a.cpp|#include \"platform/b.h\"|ok"
  "platform/a.cpp|#include \"diagnostics/console.h\"|fail"
  "diagnostics/a.cpp|#include \"environment/e.h\"|fail"
  "environment/a.h|#include \"platform/paths.h\"|ok"
  "toolchain/a.cpp|#include \"debugger/d.h\"|fail"
  "debugger/a.cpp|  #  include \"toolchain/t.h\"|ok"
  "debugger/a.cpp|#include <service/service.h>|fail"
  "service/a.cpp|#include \"debugger/d.h\"|ok"
  "service/a.cpp|#include \"host/mi_record.h\"|fail"
  "host/dap/a.cpp|#include \"debugger/d.h\"|fail"
  "host/console/a.cpp|#include \"platform/write_all.h\"|ok"
  "host/a.cpp|#include <nlohmann/json.hpp>|ok"
  "platform/a.cpp|#include \"tests/support/t.h\"|fail")

set(failures 0)
set(index 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 file)
  list(GET fields 1 include)
  list(GET fields 2 expected)
  math(EXPR index "${index} + 1")
  set(tree ${LD_WORK_DIR}/case${index})
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/${file} "// a source\n${include}\n")
  execute_process(COMMAND ${CMAKE_COMMAND} -DLD_LAYER_ROOT=${tree} -P ${LD_SOURCE_DIR}/cmake/check_layers.cmake
    RESULT_VARIABLE status ERROR_VARIABLE said OUTPUT_QUIET)
  string(REGEX MATCH "[a-z_]+/[a-z_./]+\\.h(pp)?" header "${include}")
  if(expected STREQUAL "ok" AND NOT status EQUAL 0)
    message(SEND_ERROR "${file} with '${include}' was refused:\n${said}")
  elseif(expected STREQUAL "fail" AND status EQUAL 0)
    message(SEND_ERROR "${file} with '${include}' passed the check")
  elseif(expected STREQUAL "fail" AND NOT said MATCHES "${file}: includes ${header}")
    message(SEND_ERROR "${file} with '${include}' failed without naming the file and the include:\n${said}")
  endif()
endforeach()
file(REMOVE_RECURSE ${LD_WORK_DIR})
