# The install tree, the CMake package that finds the library in it, and the
# Debian package made from it.
include(CMakePackageConfigHelpers)

set(maintainer "The primecheck authors <primecheck@example.org>")

# The manual page and the changelog go out compressed, as Debian expects of
# everything under /usr/share/man and /usr/share/doc; -n keeps the package
# the same from one build to the next.
add_custom_command(OUTPUT primecheck.1.gz
    COMMAND sh -c "gzip -9nc \"$1\" > primecheck.1.gz" sh ${CMAKE_CURRENT_SOURCE_DIR}/doc/primecheck.1
    DEPENDS doc/primecheck.1 VERBATIM)
add_custom_command(OUTPUT changelog.gz
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/cmake/debian-changelog.sh
            ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md ${maintainer} changelog.gz
    DEPENDS CHANGELOG.md cmake/debian-changelog.sh VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS primecheck.1.gz changelog.gz)

install(TARGETS primecheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS primality EXPORT primecheck-targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/primecheck DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/primecheck.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md cmake/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/primecheck)
install(EXPORT primecheck-targets NAMESPACE primecheck:: DESTINATION ${package_dir})
configure_package_config_file(cmake/primecheck-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/primecheck-config-version.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config-version.cmake
        DESTINATION ${package_dir})

set(CPACK_PACKAGE_NAME primecheck)
set(CPACK_PACKAGE_VENDOR "The primecheck authors")
set(CPACK_PACKAGE_CONTACT "${maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "names the entries of a list of numbers that are not prime")
set(CPACK_PACKAGE_DESCRIPTION
    "primecheck reads unsigned 32-bit numbers from ./prime_numbers.txt, tests
every one by trial division on all threads and on the widest vector unit
the processor has, names each entry that is not prime and ends with the
total.

The package also holds the primality library, its headers and its CMake
package.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION math)
# dpkg-shlibdeps names the runtimes the program was linked with, with
# versions: libgomp or libomp, libstdc++, libc.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What a program built against the library needs besides.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake")
include(CPack)
