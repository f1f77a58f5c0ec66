# What `cmake --install` puts in place. Components, one for each Debian package
# (cmake/Packaging.cmake; packaging/ adds man pages, icons and the like to them):
#   libsonicsend-dev  the static library, its headers, a CMake package (find_package(sonicsend)
#                     gives sonicsend::sonicsend and sonicsend::receiver_core) and pkg-config
#                     files (sonicsend; sonicsend-listener, the listening core's C API)
#   sonicsend         the sonicsend command line
#   velarto           the application and its desktop entry
include(CMakePackageConfigHelpers)

set(SONICSEND_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/sonicsend)
set(SONICSEND_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sonicsend)
set(SONICSEND_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS sonicsend sonicsend_protocol sonicsend_log sonicsend_receiver_core
  EXPORT sonicsendTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libsonicsend-dev
  PUBLIC_HEADER DESTINATION ${SONICSEND_INCLUDE_DIR} COMPONENT libsonicsend-dev)
# The public headers: the encoder, the sender, its log, the protocol's constants, and the two
# platform headers playAudio.h needs for its fields and its output seam. The queue and the
# backends stay private.
install(FILES sender/playAudio.h sender/encoder.h sender/logSink.h log/LogChannel.h
              protocol/tones.h
  DESTINATION ${SONICSEND_INCLUDE_DIR} COMPONENT libsonicsend-dev)
install(FILES sender/platform/CoreAudioTypes.h sender/platform/SoundOutput.h
  DESTINATION ${SONICSEND_INCLUDE_DIR}/platform COMPONENT libsonicsend-dev)

install(EXPORT sonicsendTargets NAMESPACE sonicsend:: DESTINATION ${SONICSEND_CMAKE_DIR}
  COMPONENT libsonicsend-dev)
configure_package_config_file(cmake/sonicsendConfig.cmake.in
  ${PROJECT_BINARY_DIR}/sonicsendConfig.cmake INSTALL_DESTINATION ${SONICSEND_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/sonicsendConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/sonicsendConfig.cmake
              ${PROJECT_BINARY_DIR}/sonicsendConfigVersion.cmake
  DESTINATION ${SONICSEND_CMAKE_DIR} COMPONENT libsonicsend-dev)

# The pkg-config file finds its prefix from its own place, so the tree can be moved.
file(RELATIVE_PATH SONICSEND_PC_TO_PREFIX /prefix/${SONICSEND_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" SONICSEND_PC_TO_PREFIX "${SONICSEND_PC_TO_PREFIX}")
configure_file(cmake/sonicsend.pc.in ${PROJECT_BINARY_DIR}/sonicsend.pc @ONLY)
configure_file(cmake/sonicsend-listener.pc.in ${PROJECT_BINARY_DIR}/sonicsend-listener.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/sonicsend.pc ${PROJECT_BINARY_DIR}/sonicsend-listener.pc
  DESTINATION ${SONICSEND_PKGCONFIG_DIR} COMPONENT libsonicsend-dev)

install(TARGETS sonicsend_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sonicsend)

if(TARGET velarto)
  install(TARGETS velarto RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT velarto)
  install(FILES app/velarto.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
    COMPONENT velarto)
endif()
