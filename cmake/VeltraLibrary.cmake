# libveltra.so: every core unit, its headers and a CMake package config for native users.
add_library(veltra SHARED)
veltra_link_units(veltra ${VELTRA_ALL_UNITS})
target_link_libraries(veltra PRIVATE m)
set_target_properties(veltra PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
target_include_directories(veltra INTERFACE $<INSTALL_INTERFACE:include/veltra>)
foreach(u ${VELTRA_ALL_UNITS})
  get_target_property(dirs vxu_${u} INTERFACE_INCLUDE_DIRECTORIES)
  target_include_directories(veltra INTERFACE $<BUILD_INTERFACE:${dirs}>)
endforeach()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS veltra EXPORT veltraTargets COMPONENT native
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT veltraTargets NAMESPACE veltra:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/veltra COMPONENT native)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/veltraConfig.cmake
     "include(\${CMAKE_CURRENT_LIST_DIR}/veltraTargets.cmake)\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/veltraConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veltraConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/veltraConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/veltra COMPONENT native)
