# The installed layout (README, "Install"). The toolchain layouts and the back ends have their
# install rules beside their build rules.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(LD_INSTALL_BUNDLE_DIR libexec/local-debugger)
set(LD_INSTALL_PYTHON_DIR lib/python3/dist-packages)
set(LD_INSTALL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LocalDebuggerHost)
set(LD_INSTALL_HEADER_DIR ${CMAKE_INSTALL_INCLUDEDIR}/local-debugger)

install(TARGETS local-debugger RUNTIME DESTINATION ${LD_INSTALL_BUNDLE_DIR})
if(TARGET debugger-host)
  install(TARGETS debugger-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The host library. A host that is itself a shared object (an editor plug-in) links it too.
set_target_properties(ld_host ld_platform PROPERTIES POSITION_INDEPENDENT_CODE ON)
set_target_properties(ld_host PROPERTIES EXPORT_NAME host OUTPUT_NAME local-debugger-host)
set_target_properties(ld_platform PROPERTIES EXPORT_NAME platform OUTPUT_NAME local-debugger-platform)
target_include_directories(ld_platform INTERFACE $<INSTALL_INTERFACE:${LD_INSTALL_HEADER_DIR}>)
# Instrumented objects need their sanitizer's runtime in whatever links them.
if(LD_SANITIZE)
  target_link_options(ld_platform INTERFACE $<INSTALL_INTERFACE:-fsanitize=address,undefined>)
elseif(LD_TSAN)
  target_link_options(ld_platform INTERFACE $<INSTALL_INTERFACE:-fsanitize=thread>)
endif()
install(TARGETS ld_host ld_platform EXPORT LocalDebuggerHostTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# Headers keep their directories: they include each other as "platform/...".
install(FILES host/service_client.h DESTINATION ${LD_INSTALL_HEADER_DIR}/host)
install(FILES platform/connection.h platform/message.h DESTINATION ${LD_INSTALL_HEADER_DIR}/platform)
install(EXPORT LocalDebuggerHostTargets NAMESPACE LocalDebuggerHost:: DESTINATION ${LD_INSTALL_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/LocalDebuggerHostConfig.cmake.in
  ${CMAKE_BINARY_DIR}/LocalDebuggerHostConfig.cmake
  INSTALL_DESTINATION ${LD_INSTALL_PACKAGE_DIR})
install(FILES ${CMAKE_BINARY_DIR}/LocalDebuggerHostConfig.cmake DESTINATION ${LD_INSTALL_PACKAGE_DIR})

install(FILES host/python/local_debugger_host.py DESTINATION ${LD_INSTALL_PYTHON_DIR})
# The examples: GDB and LLDB sessions in Python, and a GDB session in C++ with the CMake project
# that builds it against this package.
install(PROGRAMS host/python/examples/gdb_session.py host/python/examples/lldb_session.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/local-debugger/examples)
install(FILES host/python/examples/example_service.py example/host/gdb_session.cpp example/host/CMakeLists.txt
  DESTINATION ${CMAKE_INSTALL_DATADIR}/local-debugger/examples)
# The docs are installed side by side, so the README's links into docs/ are rewritten to match.
file(GLOB LD_HOST_DOCS ${CMAKE_SOURCE_DIR}/docs/*.md)
file(READ ${CMAKE_SOURCE_DIR}/README.md ld_readme)
string(REPLACE "](docs/" "](" ld_readme "${ld_readme}")
file(WRITE ${CMAKE_BINARY_DIR}/installed/README.md "${ld_readme}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
install(FILES ${CMAKE_BINARY_DIR}/installed/README.md ${LD_HOST_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The units name the installed service by absolute path, so they are written when the prefix
# is known: at install time, where --prefix may differ from the configured one.
install(CODE "
  set(LD_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(LD_UNIT_DIR \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\")
  foreach(unit local-debugger.socket local-debugger@.service)
    message(STATUS \"Installing: \${LD_UNIT_DIR}/\${unit}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/systemd/\${unit}.in\" \"\${LD_UNIT_DIR}/\${unit}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${LD_UNIT_DIR}/\${unit}\")
  endforeach()
")
