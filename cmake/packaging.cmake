# cmake/packaging.cmake: Debian packages from the install components, made by
# `cpack -G DEB` in a build tree (the release preset's, for a user).
#
#   libtarvin1      the plug-in and the stand-in framework library
#   libtarvin-dev   headers, CMake package and pkg-config file
#   tarvin-tools    tarvin-remote and tarvin-example-host
#
# dpkg-shlibdeps works out what each package needs of the system; the
# packages' dependencies on each other come from the components'.
set(CPACK_PACKAGE_NAME tarvin)
set(CPACK_PACKAGE_VENDOR "tarvint_remote developers")
set(CPACK_PACKAGE_CONTACT "tarvint_remote developers <tarvin@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Remote log target plug-in for the tarvin logging framework")
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

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvin1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "The remote log target plug-in, libtarvint_remote.so.1, and the stand-in framework library")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtarvin-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "Headers, CMake package and pkg-config file for hosts and plug-ins of the tarvin framework")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tarvin-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "tarvin-remote, the command-line client of remote log targets, and tarvin-example-host")

include(CPack)
