# Install rules: libzephyl with its soname links and public headers, the metrics library it
# links (libpelvar, with its header), the zget tool (tools/zget), a CMake package
# (find_package(zephyl) gives zephyl::zephyl) and a pkg-config file (zephyl.pc).
include(CMakePackageConfigHelpers)

set(ZEPHYL_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zephyl)

# An installed libzephyl finds libpelvar beside itself, wherever the prefix is.
set_target_properties(zephyl pelvar PROPERTIES INSTALL_RPATH "$ORIGIN")

# The build tree's copies sit as the installed ones do (bin/ and lib/) and carry the installed,
# $ORIGIN-relative run paths. Otherwise CMake gives them absolute run paths padded with empty
# entries (room for the edit it makes at install time), and the loader reads an empty entry as
# the current directory: zget run in a directory holding a file named like one of its libraries
# (a download, say) would load that file.
if(NOT WIN32 AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}"
   AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set_target_properties(zephyl pelvar PROPERTIES BUILD_WITH_INSTALL_RPATH ON
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
  if(TARGET zget)
    set_target_properties(zget PROPERTIES BUILD_WITH_INSTALL_RPATH ON
      RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_BINDIR})
  endif()
endif()

install(TARGETS zephyl pelvar EXPORT zephylTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  install(FILES $<TARGET_FILE_DIR:zephyl>/zephyl.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zephyl
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/pelvar/include/pelvar/pelvar.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pelvar)

install(EXPORT zephylTargets
  NAMESPACE zephyl::
  FILE zephylTargets.cmake
  DESTINATION ${ZEPHYL_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zephylConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zephylConfig.cmake
  INSTALL_DESTINATION ${ZEPHYL_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zephylConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zephylConfig.cmake
  ${PROJECT_BINARY_DIR}/zephylConfigVersion.cmake
  DESTINATION ${ZEPHYL_PACKAGE_DIR})

# zephyl.pc locates the prefix from its own place, so that `cmake --install --prefix` anywhere
# gives a working file.
file(RELATIVE_PATH ZEPHYL_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZEPHYL_PC_TO_PREFIX "${ZEPHYL_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zephyl.pc.in ${PROJECT_BINARY_DIR}/zephyl.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zephyl.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
