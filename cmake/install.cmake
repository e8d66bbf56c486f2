# What `cmake --install` puts where: the shared library (with its SONAME
# links), the header, a CMake package (find_package(chunkup CONFIG) gives
# chunkup::chunkup), chunkup.pc, the command-line host, the service when it is
# built, the manual pages and the bash completion.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CHUNKUP_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/chunkup)

target_include_directories(chunkup PUBLIC $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The header's char16_t comes from <uchar.h>, a C11 header.
target_compile_features(chunkup INTERFACE c_std_11)

install(TARGETS chunkup EXPORT chunkupTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/chunkup.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT chunkupTargets NAMESPACE chunkup:: FILE chunkupTargets.cmake
  DESTINATION ${CHUNKUP_CMAKE_PACKAGE_DIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/chunkupConfig.cmake.in
  ${PROJECT_BINARY_DIR}/chunkupConfig.cmake INSTALL_DESTINATION ${CHUNKUP_CMAKE_PACKAGE_DIR})
# 0.x releases make no promise to each other: only the same minor version matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/chunkupConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/chunkupConfig.cmake ${PROJECT_BINARY_DIR}/chunkupConfigVersion.cmake
  DESTINATION ${CHUNKUP_CMAKE_PACKAGE_DIR} COMPONENT development)

# chunkup.pc names its prefix relative to where it lies, so an install with
# `cmake --install --prefix DIR` (or a moved tree) finds its own files.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(CHUNKUP_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH CHUNKUP_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" CHUNKUP_PC_UP "${CHUNKUP_PC_UP}")
  set(CHUNKUP_PC_PREFIX "\${pcfiledir}/${CHUNKUP_PC_UP}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/chunkup.pc.in ${PROJECT_BINARY_DIR}/chunkup.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/chunkup.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# The installed CLI finds the library next to it in the same prefix.
file(RELATIVE_PATH CHUNKUP_BIN_TO_LIB "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
set_target_properties(chunkup-cli PROPERTIES INSTALL_RPATH "$ORIGIN/${CHUNKUP_BIN_TO_LIB}")
install(TARGETS chunkup-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
if(TARGET chunkup-service)
  install(TARGETS chunkup-service RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
endif()

foreach(page chunkup.1 chunkup-service.1)
  if(EXISTS ${PROJECT_SOURCE_DIR}/docs/${page})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/tools/chunkup.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME chunkup COMPONENT runtime)
