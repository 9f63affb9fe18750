# Installs the library, its headers, a CMake package (find_package(le_core))
# and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS le_core EXPORT le_coreTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/le)

set(LE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/le_core)
install(EXPORT le_coreTargets NAMESPACE le_core:: DESTINATION ${LE_CMAKE_DIR})
configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/le_coreConfig.cmake.in"
  "${PROJECT_BINARY_DIR}/le_coreConfig.cmake" INSTALL_DESTINATION ${LE_CMAKE_DIR})
write_basic_package_version_file("${PROJECT_BINARY_DIR}/le_coreConfigVersion.cmake"
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/le_coreConfig.cmake"
              "${PROJECT_BINARY_DIR}/le_coreConfigVersion.cmake"
        DESTINATION ${LE_CMAKE_DIR})

# The .pc file finds its prefix relative to its own directory.
file(RELATIVE_PATH LE_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file("${PROJECT_SOURCE_DIR}/cmake/le_core.pc.in" "${PROJECT_BINARY_DIR}/le_core.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/le_core.pc" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
