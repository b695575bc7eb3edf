# cmake/packaging.cmake: Debian packages from the install components, made by
# `cpack -G DEB` in a build tree (the release preset's, for a user).
#
#   libtarvin1      the plug-in and the stand-in framework library
#   libtarvin-dev   headers, CMake package and pkg-config file
#   tarvin-tools    tarvin-remote, tarvin-example-host, their manual pages
#                   and the Wireshark dissector
#   *-dbgsym        the debug symbols of the first and the last
#
# Each carries its copyright file and Debian changelog, and no RUNPATH.
# dpkg-shlibdeps works out what each package needs of the system; the
# packages' dependencies on each other come from the components'.
set(TARVIN_PACKAGE_MAINTAINER "tarvin-remote maintainers <maintainers@tarvin-remote.org>"
  CACHE STRING "The Maintainer field of the Debian packages: whoever builds them for others")
set(CPACK_PACKAGE_NAME tarvin)
set(CPACK_PACKAGE_VENDOR "tarvint_remote developers")
set(CPACK_PACKAGE_CONTACT "${TARVIN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime dev tools)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debian's upstream-revision form: 1.0.0-1, raised for a rebuild of the
# same sources.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Private search path for dpkg-shlibdeps: the tools link the framework
# library that another of these packages ships.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
# Stripped binaries, with their debug symbols in a -dbgsym package each
# where the build carries them (the release preset's RelWithDebInfo does).
if(CMAKE_BUILD_TYPE MATCHES "^(Debug|RelWithDebInfo)$")
  set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
else()
  set(CPACK_STRIP_FILES ON)
endif()
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/remove_runpath.cmake)

# One description each: the synopsis, then the extended text. CPack puts
# the package-wide summary before each unless it is its own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvin1)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "remote log target plug-in and tarvin framework library
libtarvint_remote.so.1 is a plug-in that a host process loads into its
tarvin logging framework: every log message of the host goes, as one UDP
datagram, to each remote client registered with it, and clients read and
change the level mask of each logging component.

The package also holds libtarvin_host.so.1, the stand-in framework that
hosts link to load the plug-in.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${PROJECT_BINARY_DIR}/debian/shlibs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvin-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for tarvin framework hosts and plug-ins
Headers of the tarvin framework for hosts and log target plug-ins, with
the CMake package and the pkg-config file that find them and the link
name of the framework library.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line client and web console for tarvin remote log targets
tarvin-remote finds remote log targets, follows their records on the
terminal, forwards them to syslog, records them into a store and queries
it, changes levels across a fleet and serves a web console.
tarvin-example-host is an application that logs through the plug-in.
The Wireshark dissector of the protocol is included.")

# Each package's copyright file and Debian changelog. The changelog is made
# at configure time, gzipped as Debian keeps them.
include(GNUInstallDirs)
foreach(component runtime dev tools)
  string(TOUPPER ${component} upper)
  set(TARVIN_DEB_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc ${PROJECT_BINARY_DIR}/debian/${TARVIN_DEB_PACKAGE})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${doc}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -9nf ${doc}/changelog.Debian)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${doc}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${TARVIN_DEB_PACKAGE} COMPONENT ${component}
    EXCLUDE_FROM_ALL)
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
  "libtarvint_remote 1 libtarvin1 (>= ${PROJECT_VERSION})\nlibtarvin_host 1 libtarvin1 (>= ${PROJECT_VERSION})\n")

include(CPack)
