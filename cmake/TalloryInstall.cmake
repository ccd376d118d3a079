include(CMakePackageConfigHelpers)

install(TARGETS tallory EXPORT TalloryTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tallory DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS tallory_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(EXPORT TalloryTargets NAMESPACE Tallory:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallory)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TalloryConfig.cmake.in
  ${CMAKE_BINARY_DIR}/TalloryConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallory)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/TalloryConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/TalloryConfig.cmake ${CMAKE_BINARY_DIR}/TalloryConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallory)

# Relative to the .pc file, so the installed tree can be moved.
file(RELATIVE_PATH TALLORY_PC_RELATIVE_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tallory.pc.in ${CMAKE_BINARY_DIR}/tallory.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tallory.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
