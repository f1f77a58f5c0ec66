# Three Debian packages from the install components (cmake/Install.cmake, packaging/):
#   velarto           the application, its desktop entry, icon, metainfo and man page
#   sonicsend         the command line, its man page and bash completion
#   libsonicsend-dev  the static libraries, headers, CMake package and pkg-config file
# scripts/package.sh builds them into build/packages/. The shared libraries the programs need
# are found by dpkg-shlibdeps; only what it cannot see is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velarto)
set(CPACK_PACKAGE_VENDOR "The velarto authors")
set(CPACK_PACKAGE_CONTACT "${VELARTO_CONTACT}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL sonicsend libsonicsend-dev)
if(TARGET velarto)
  list(PREPEND CPACK_COMPONENTS_ALL velarto)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VELARTO_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_VELARTO_PACKAGE_NAME velarto)
set(CPACK_DEBIAN_VELARTO_PACKAGE_SECTION net)
# The screen's texts are Chinese: any font that has them.
set(CPACK_DEBIAN_VELARTO_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_COMPONENT_VELARTO_DESCRIPTION
    "hand the current Wi-Fi network's name and key to a device by sound
velarto sends the SSID and the key of the Wi-Fi network this computer is
joined to, to a device that has no screen or keyboard, by sound: it plays a
multi-tone signal in a loop until stopped, and a device listening with a
microphone decodes it and joins the network.
.
One window shows the current network and the key remembered for it; keys are
kept per network in a file readable by the user alone.")

set(CPACK_DEBIAN_SONICSEND_PACKAGE_NAME sonicsend)
set(CPACK_DEBIAN_SONICSEND_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_SONICSEND_DESCRIPTION
    "hand Wi-Fi credentials to a listening device by sound (command line)
sonicsend turns the SSID and the key of a Wi-Fi network into a multi-tone
audio signal that a device without a screen or keyboard decodes. It writes
the signal to WAV files (encode), plays it in a gapless loop through an ALSA
device (play), and recovers SSID and key from a recording or a capture device
(decode, listen) as a reference receiver.")

set(CPACK_DEBIAN_LIBSONICSEND-DEV_PACKAGE_NAME libsonicsend-dev)
set(CPACK_DEBIAN_LIBSONICSEND-DEV_PACKAGE_SECTION libdevel)
# A program linking the library links ALSA too: the CMake package finds it through pkg-config.
set(CPACK_DEBIAN_LIBSONICSEND-DEV_PACKAGE_DEPENDS "libasound2-dev, pkg-config")
set(CPACK_COMPONENT_LIBSONICSEND-DEV_DESCRIPTION
    "hand Wi-Fi credentials to a listening device by sound (C++ library)
sonicsend is a static C++20 library that turns the SSID and the key of a
Wi-Fi network into a sample-exact multi-tone signal, as 16-bit stereo PCM at
44100 Hz, and plays it in an endless gapless loop through ALSA.
.
This package holds the static libraries, their headers, a CMake package
(find_package(sonicsend)) and a pkg-config file (sonicsend).")

# cpack stops with a clear message when the build could not make every packaged file.
set(CPACK_VELARTO_MISSING "${VELARTO_PACKAGING_MISSING}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)
include(CPack)
