# Installation: headers under include/DivUdurezevudoZE/ (so that generic
# folder names like Db/ never land in a system include folder), the three
# shared libraries, repdb, a CMake package and a pkg-config file; and a Debian
# package of all of it through CPack.

set(DIVU_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DivUdurezevudoZE)

# Public headers only: the engine's internals in Db/Engine/ stay out.
install(DIRECTORY DivUdurezevudoZE Db ZrLib
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${DIVU_INCLUDE_SUBDIR}
        COMPONENT devel
        FILES_MATCHING PATTERN "*.h"
        PATTERN "Engine" EXCLUDE)

install(TARGETS ZrLib ZrDb DivUdurezevudoZE EXPORT DivUdurezevudoZETargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${DIVU_INCLUDE_SUBDIR})
install(EXPORT DivUdurezevudoZETargets NAMESPACE DivUdurezevudoZE:: DESTINATION ${DIVU_CMAKE_DIR}
        COMPONENT devel)

# Each library finds the others beside it in any prefix: a program's own run
# path does not reach the libraries its libraries need.
set_target_properties(ZrLib ZrDb DivUdurezevudoZE PROPERTIES INSTALL_RPATH "$ORIGIN")
# repdb finds the libraries next to it in any prefix.
set_target_properties(repdb PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS repdb RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

configure_package_config_file(cmake/DivUdurezevudoZEConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/DivUdurezevudoZEConfig.cmake
                              INSTALL_DESTINATION ${DIVU_CMAKE_DIR})
# Before 1.0 every minor version may change the interface.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(divu_compatibility SameMinorVersion)
else()
  set(divu_compatibility SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/DivUdurezevudoZEConfigVersion.cmake
                                 COMPATIBILITY ${divu_compatibility})
install(FILES ${PROJECT_BINARY_DIR}/DivUdurezevudoZEConfig.cmake
              ${PROJECT_BINARY_DIR}/DivUdurezevudoZEConfigVersion.cmake
        DESTINATION ${DIVU_CMAKE_DIR} COMPONENT devel)

# pkg-config: the engine's database libraries are private to it.
set(DIVU_PC_REQUIRES_PRIVATE sqlite3)
if(DIVU_WITH_POSTGRESQL)
  string(APPEND DIVU_PC_REQUIRES_PRIVATE " libpq")
endif()
# Relative to the file itself, so the install prefix can be chosen at install time.
file(RELATIVE_PATH DIVU_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" DIVU_PC_TO_PREFIX "${DIVU_PC_TO_PREFIX}")
configure_file(cmake/DivUdurezevudoZE.pc.in ${PROJECT_BINARY_DIR}/DivUdurezevudoZE.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/DivUdurezevudoZE.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT devel)

# cpack -G DEB: one package with the libraries, the headers and repdb.
set(CPACK_PACKAGE_NAME divudurezevudoze)
set(CPACK_PACKAGE_VENDOR "DivUdurezevudoZE developers")
set(CPACK_PACKAGE_CONTACT "DivUdurezevudoZE developers <divudurezevudoze@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Typed row-level access to a replication catalogue, and the repdb tool")
set(CPACK_PACKAGE_DESCRIPTION
    "Shared libraries, headers, CMake and pkg-config files for the replication catalogue over SQLite or PostgreSQL, and repdb, its command-line tool.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Runtime dependencies come from the binaries (dpkg-shlibdeps); what building
# against the headers and the CMake package needs is recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(divu_deb_recommends "libboost-dev (>= 1.74), libsqlite3-dev")
if(DIVU_WITH_POSTGRESQL)
  string(APPEND divu_deb_recommends ", libpq-dev")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "${divu_deb_recommends}")
# dpkg-shlibdeps must find our own libraries while it looks at repdb.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
include(CPack)
