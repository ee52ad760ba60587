# Debian packages made by CPack from the install rules of each component (scripts/package.sh
# configures a build for /usr and runs cpack):
#
#   libvolbridge<major>  library      libvolbridge.so.<major> and libvolbridge_host.so.<major>
#   libvolbridge-dev     development  headers, the .so links, volbridge.pc, the CMake package
#   volbridge-tools      tools        /usr/bin/volbridge and its manual page
#
# The library package is named after the soname's major version, so that a new major version can
# be installed beside the old one. dpkg-shlibdeps gives each package its dependencies on the
# system's libraries; the packages of the development files and the tool depend on the library
# package of exactly their version. The tool only suggests lvm2: a VxVM or GPFS host may have none.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME volbridge)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The first line of each package's description; each component's own text follows it.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "backup agent's interface to the LVM2, VxVM and GPFS volume managers")
set(CPACK_PACKAGE_CONTACT "volbridge maintainers <maintainers@volbridge.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Where dpkg-shlibdeps finds the project's own libraries, which no installed package holds yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libvolbridge${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
# A shlibs file, so that programs built against the library depend on this package.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "The volbridge library tells a snapshot-based backup agent which group a device
belongs to and captures its metadata, imports cloned disks as a new group,
reverts volumes onto rolled-back disks and removes the groups it made.
This package holds the shared library and the host services it calls.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvolbridge-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The host headers hold boost::shared_ptr.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libboost-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "The development files of the volbridge library: the headers of its interface
and of the host services, the libraries' .so links, the pkg-config file
volbridge.pc and the CMake package (find_package(volbridge)).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME volbridge-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS lvm2)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "The volbridge command-line tool runs the library's operations: discovery,
clone import, revert, destroy and GPFS file-system control; with its manual
page volbridge(1).")

include(CPack)
cpack_add_component(library)
cpack_add_component(development DEPENDS library)
cpack_add_component(tools DEPENDS library)
