# The install tree, the CMake package that finds the library in it, and the
# Debian package made from it.
include(CMakePackageConfigHelpers)

install(TARGETS primecheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS primality EXPORT primecheck-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/primecheck)
install(FILES doc/primecheck.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

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
set(CPACK_PACKAGE_CONTACT "The primecheck authors <primecheck@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "names the entries of a list of numbers that are not prime")
set(CPACK_PACKAGE_DESCRIPTION
    "primecheck reads unsigned 32-bit numbers from ./prime_numbers.txt, tests every one by trial division on all threads, names each entry that is not prime and ends with the total. The package also holds the primality library, its headers and its CMake package.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION math)
# The OpenMP runtime the program was linked with: libgomp for g++, libomp
# for clang.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set(openmp_runtime libgomp1)
else()
    set(openmp_runtime libomp5-14)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libhwy1, ${openmp_runtime}")
include(CPack)
