# What `cmake --install` puts where, and the packages CPack makes from it.
# Linux: the library, its header, pkg-config and CMake package files, the
# command and its manual page; as Debian packages split the usual way,
# libpixoria0 (the shared library), libpixoria-dev (what building against
# it needs) and pixoria (the command). Windows: a zip with the DLL, its
# import library and .def file, the header and the command.
# Libraries in the multiarch folder where the toolchain has one (Debian's
# /usr/lib/x86_64-linux-gnu), so that pkg-config finds them for the
# architecture too.
if(NOT WIN32 AND NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}
      CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(PXO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Pixoria)
set(PXO_CONTACT "Pixoria developers <developers@pixoria.org>")

if(WIN32)
  install(TARGETS pixoria
          RUNTIME DESTINATION . COMPONENT runtime
          ARCHIVE DESTINATION . COMPONENT runtime)
  install(TARGETS pixoria_tool RUNTIME DESTINATION . COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/pixoria.h
                ${PROJECT_BINARY_DIR}/src/api/pixoria.def
          DESTINATION . COMPONENT runtime)
  if(PXO_DLLTOOL)
    install(FILES ${PROJECT_BINARY_DIR}/src/api/pixoria.lib
            DESTINATION . COMPONENT runtime)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt
          DESTINATION . RENAME README.txt COMPONENT runtime)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS pixoria EXPORT PixoriaTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
            COMPONENT runtime NAMELINK_COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/pixoria.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
  install(TARGETS pixoria_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT tool)

  # pkg-config, relocatable: the prefix is found from the file's place.
  file(RELATIVE_PATH PXO_PC_TO_PREFIX
       /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" PXO_PC_TO_PREFIX "${PXO_PC_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/pixoria.pc.in
                 ${PROJECT_BINARY_DIR}/pixoria.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pixoria.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

  # The manual page, from the command's own --help.
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/pixoria.1.gz
    COMMAND ${CMAKE_COMMAND} -DPIXORIA=$<TARGET_FILE:pixoria_tool>
            -DOUT=${PROJECT_BINARY_DIR}/pixoria.1
            -DVERSION=${PROJECT_VERSION}
            -P ${PROJECT_SOURCE_DIR}/cmake/HelpToMan.cmake
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/pixoria.1
    DEPENDS pixoria_tool ${PROJECT_SOURCE_DIR}/cmake/HelpToMan.cmake
    VERBATIM)
  add_custom_target(pixoria_manual ALL DEPENDS ${PROJECT_BINARY_DIR}/pixoria.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/pixoria.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)

  # Each package's copyright and changelog (a native package's, gzip -9n).
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
            > ${PROJECT_BINARY_DIR}/changelog.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
  add_custom_target(pixoria_changelog ALL
                    DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
  foreach(pair runtime:libpixoria0 dev:libpixoria-dev tool:pixoria)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright
                  ${PROJECT_BINARY_DIR}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
            COMPONENT ${component})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime dev tool)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PXO_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pixoria.org/")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libpixoria0)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # The shlibs entry for packages built against it, and ldconfig run by
  # dpkg's trigger rather than by maintainer scripts.
  file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/shlibs
       "libpixoria ${PROJECT_VERSION_MAJOR} libpixoria0 (>= ${PROJECT_VERSION})\n")
  file(COPY_FILE ${PROJECT_SOURCE_DIR}/packaging/debian/triggers
       ${PROJECT_BINARY_DIR}/debian-runtime/triggers)
  # Scripts of our own keep CPack from writing ones that call ldconfig.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      ${PROJECT_BINARY_DIR}/debian-runtime/shlibs
      ${PROJECT_BINARY_DIR}/debian-runtime/triggers
      ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
      ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"camera mapping of LED props - shared library
Pixoria finds where every LED pixel of a light-show prop sits, using a
camera, and turns that into a model file for sequencing software. It
drives the prop through its pixel controller, records the camera while
every LED blinks its own code, decodes each LED's position and puts the
controller back exactly as it was.
.
This package holds the shared library that sequencing programs load.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpixoria-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libpixoria0 (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_DEV_DESCRIPTION
"camera mapping of LED props - development files
Pixoria finds where every LED pixel of a light-show prop sits, using a
camera, and turns that into a model file for sequencing software.
.
This package holds what building a program against the library needs:
the C header, the library link, a pkg-config file (pixoria) and a CMake
package (find_package(Pixoria), target Pixoria::pixoria).")

  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME pixoria)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_TOOL_DESCRIPTION
"camera mapping of LED props - command-line tool
Pixoria finds where every LED pixel of a light-show prop sits, using a
camera, and turns that into a model file for sequencing software. It
drives the prop through its FPP pixel controller, records a local or
network camera while every LED blinks its own code, decodes each LED's
position, snaps the positions to a grid, can combine several camera
angles into 3D, and puts the controller back exactly as it was.
.
This package holds the pixoria command, its scan window and a virtual
rig for trying a scan without any hardware.")
endif()

# find_package(Pixoria): the target Pixoria::pixoria, any prefix.
if(NOT WIN32)
  install(EXPORT PixoriaTargets NAMESPACE Pixoria::
          DESTINATION ${PXO_CMAKE_DIR} COMPONENT dev)
  configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/packaging/PixoriaConfig.cmake.in
    ${PROJECT_BINARY_DIR}/PixoriaConfig.cmake
    INSTALL_DESTINATION ${PXO_CMAKE_DIR})
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/PixoriaConfigVersion.cmake
    COMPATIBILITY SameMinorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/PixoriaConfig.cmake
                ${PROJECT_BINARY_DIR}/PixoriaConfigVersion.cmake
          DESTINATION ${PXO_CMAKE_DIR} COMPONENT dev)
endif()

set(CPACK_PACKAGE_NAME pixoria)
set(CPACK_PACKAGE_VENDOR "Pixoria")
set(CPACK_PACKAGE_CONTACT "${PXO_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Finds where every LED of a light-show prop sits, with a camera")
set(CPACK_STRIP_FILES ON)
include(CPack)
