# The install tree: the program and its manual, the shared library, and for
# building against it the headers, the archive, a pkg-config file and a
# CMake package. debian/ splits it into packages.
include(CMakePackageConfigHelpers)

install(TARGETS primecheck RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES doc/primecheck.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

install(TARGETS primecheck_shared EXPORT primecheck-shared-targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS primecheck_static EXPORT primecheck-static-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/primecheck DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/include/primecheck/version.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/primecheck)

# The prefix is known only at install time: cmake --install --prefix.
set(pc_file ${CMAKE_CURRENT_BINARY_DIR}/primecheck.pc)
install(CODE "
    set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
    set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
    set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(version \"${PROJECT_VERSION}\")
    set(openmp \"${OpenMP_CXX_FLAGS}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/primecheck.pc.in\" \"${pc_file}\" @ONLY)")
install(FILES ${pc_file} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/primecheck)
install(EXPORT primecheck-shared-targets NAMESPACE primecheck:: DESTINATION ${package_dir})
install(EXPORT primecheck-static-targets NAMESPACE primecheck:: DESTINATION ${package_dir})
configure_package_config_file(cmake/primecheck-config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config.cmake INSTALL_DESTINATION ${package_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/primecheck-config-version.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/primecheck-config-version.cmake
        DESTINATION ${package_dir})
