# Debian packages of the Linux build, one per install component:
#   libquenta1     (runtime)      the shared library and its SONAME link
#   libquenta-dev  (development)  headers, the link-time name, CMake package, pkg-config file
#   quenta-tools   (tools)        quenta and quenta-sim, their manual pages and completions
#   python3-quenta (python)       the Python module (native) and pytest fixture
# In the build tree: cpack -G DEB (or cpack -G DEB --config CPackConfig.cmake -B DIR).
#
# lintian finds no error in them; the warnings left:
# - libquenta1: maintscript-calls-ldconfig (postinst, postrm). CPack writes
#   these scripts itself for any library under /usr/lib; our own scripts in
#   their place would draw maintainer-script-empty instead. The ldconfig
#   trigger is there as well, so the calls only repeat its work.
# - libquenta-dev: pkg-config-unavailable-for-cross-compilation. The packages
#   are made from the ordinary build tree, whose library folder is lib (as
#   for /usr/local or a private prefix), not lib/<multiarch triplet>.

set(QUENTA_RUNTIME_PACKAGE libquenta${PROJECT_VERSION_MAJOR})
set(QUENTA_PACKAGE_CONTACT "QUENTA developers <quenta@example.org>")

# Every package carries its copyright and changelog. Left out of a plain
# install (EXCLUDE_FROM_ALL): they land only when the component is asked for,
# as CPack does.
foreach(component_package
        runtime:${QUENTA_RUNTIME_PACKAGE} development:libquenta-dev tools:quenta-tools
        python:python3-quenta)
    string(REPLACE ":" ";" component_package ${component_package})
    list(GET component_package 0 component)
    list(GET component_package 1 package)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_LIST_DIR}/changelog
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quenta)
set(CPACK_PACKAGE_VENDOR "QUENTA developers")
set(CPACK_PACKAGE_CONTACT ${QUENTA_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Folders 0755 whatever the umask of whoever runs cpack.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools python)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
# The development package wants the run-time package of its own version.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE quenta)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUENTA_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Run-time dependencies of the ELF files, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Only the run-time package holds a shared object, so only it gets a shlibs
# file (CMake 3.25 has no per-package switch for it); ">=" lets programs built
# against this version run with later ones.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUENTA_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The symbols file lists every exported symbol with the version that brought
# it (a test compares it with the library); the trigger runs ldconfig.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/libquenta1/symbols ${CMAKE_CURRENT_LIST_DIR}/libquenta1/triggers)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
"configures a radio module on a serial port (shared library)
libquenta configures a radio module wired to its host through a serial
port: it searches for nearby radio devices, pairs the module with one of
them, reads the pairing back, hands the line over to transparent data
transfer and opens the port for the application's own traffic.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquenta-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"configures a radio module on a serial port (development files)
libquenta configures a radio module wired to its host through a serial
port: search, pairing, read-back, data mode and the port hand-over.

This package holds what programs using the library are built with: the C
header quenta.h, the C++ header QuentaConfigurator.h, the link-time name
libquenta.so, the CMake package Quenta (target Quenta::quenta) and the
pkg-config file quenta.pc.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quenta-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The completions are read only by a shell that loads bash-completion.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"command-line tool and simulated module for QUENTA radio modules
quenta searches for radio devices, pairs the module on a serial port with
one of them, reads the pairing back and switches the line to data mode,
with progress on long work, plain text or JSON output and meaningful exit
codes.

quenta-sim is a simulated radio module on a pseudo-terminal: it speaks the
module's command set, keeps its state like the real thing and prints the
traffic, for work and tests without the hardware.

Both come with manual pages and bash completions.")

# The native module makes it one architecture's, built for one Python version
# (its ABI): Debian's python3 of the build. The C functions through ctypes
# (quenta.capi) load libquenta1 of the same build.
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-quenta)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${QUENTA_PYTHON_VERSION}~), python3 (<< ${QUENTA_PYTHON_NEXT_VERSION}), ${QUENTA_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "quenta-tools, python3-pytest")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION
"Python module and pytest fixture for QUENTA radio modules
The Python module quenta drives the radio module on a serial port: one
object per port, a search that returns each device's name, address and
class, pairing, the read-back and the hand-over to data mode, with an
exception for each cause of failure. It reaches the library's core through
a native extension module. quenta.capi offers the five C functions of
libquenta as they are, through ctypes.

Its pytest plugin gives the fixtures quenta_sim and quenta_sim_factory,
which run simulated modules (quenta-sim, package quenta-tools) for a test:
options and scenario per module, transcript and control channel.")

include(CPack)
