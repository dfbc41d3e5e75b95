# Writes one toolchain layout (a system root) at build time.
# Expects: LAYOUT_DIR, LAYOUT_NAME, TEMPLATE_DIR, DEVELOPER_DIR (relative to the root),
# VERSION (may be empty: no version entry), LLDB, FRAMEWORKS, PYTHON.

foreach(required LAYOUT_DIR LAYOUT_NAME TEMPLATE_DIR DEVELOPER_DIR LLDB FRAMEWORKS PYTHON)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "generate_layout.cmake: ${required} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${LAYOUT_DIR}")
get_filename_component(toolchain_dir "${LAYOUT_DIR}/${DEVELOPER_DIR}" DIRECTORY)
file(MAKE_DIRECTORY "${LAYOUT_DIR}/usr/bin" "${LAYOUT_DIR}/${DEVELOPER_DIR}")

set(LD_LAYOUT_NAME "${LAYOUT_NAME}")
set(LD_LAYOUT_LLDB "${LLDB}")
set(LD_LAYOUT_DEVELOPER_DIR "${DEVELOPER_DIR}")
if(VERSION STREQUAL "")
  set(LD_LAYOUT_VERSION_ENTRY "")
else()
  set(LD_LAYOUT_VERSION_ENTRY "\t<key>CFBundleShortVersionString</key>\n\t<string>${VERSION}</string>\n")
endif()

set(executable_permissions
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file("${TEMPLATE_DIR}/xcode-select.in" "${LAYOUT_DIR}/usr/bin/xcode-select"
  @ONLY FILE_PERMISSIONS ${executable_permissions})
configure_file("${TEMPLATE_DIR}/xcrun.in" "${LAYOUT_DIR}/usr/bin/xcrun"
  @ONLY FILE_PERMISSIONS ${executable_permissions})
configure_file("${TEMPLATE_DIR}/Info.plist.in" "${toolchain_dir}/Info.plist" @ONLY)

file(CREATE_LINK "${PYTHON}" "${LAYOUT_DIR}/usr/bin/python" SYMBOLIC)
if(IS_DIRECTORY "${FRAMEWORKS}")
  file(CREATE_LINK "${FRAMEWORKS}" "${toolchain_dir}/SharedFrameworks" SYMBOLIC)
else()
  # No LLVM libraries on this machine: the directory still exists, empty.
  file(MAKE_DIRECTORY "${toolchain_dir}/SharedFrameworks")
endif()
