# What `cmake --install` puts where, and the packages CPack makes from it:
# a Debian package on Linux, a zip on Windows. Both hold the library, its
# header and the pixoria command.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS pixoria RUNTIME DESTINATION . ARCHIVE EXCLUDE_FROM_ALL)
  install(TARGETS pixoria_tool RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/pixoria.h DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
          DESTINATION . RENAME README.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS pixoria LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(TARGETS pixoria_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/pixoria.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()

set(CPACK_PACKAGE_NAME pixoria)
set(CPACK_PACKAGE_VENDOR "Pixoria")
set(CPACK_PACKAGE_CONTACT "Pixoria developers <pixoria@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds where every LED of a light-show prop sits, with a camera")
set(CPACK_STRIP_FILES ON)
include(CPack)
