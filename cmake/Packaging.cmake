# Debian package of the installed tool: `cmake --build build --target package` or `cpack -G DEB`
# in the build folder. Only what the install rules list goes in: the program, its desktop entry and
# its icon, never the simulator, benchmarks or tests.
set(PELMAR_PACKAGE_MAINTAINER "Pelmar Firmware Team <firmware@pelmar.com>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelmar-firmware-update)
set(CPACK_PACKAGE_VENDOR Pelmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PELMAR_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update tool for Pelmar devices")
set(CPACK_PACKAGE_DESCRIPTION [=[
A single-window desktop program that connects to a Pelmar device over a
serial line (COM port), shows its product name, serial number and firmware
version, and sends it a new firmware image (*.bin or *.hex) block by block,
with a progress bar and a time-stamped message log.

The interface speaks Chinese, English, German and Japanese.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps debug info; the package does not need it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELMAR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) derives Depends from the libraries the program links: Debian's Qt 5
# runtime packages with the version floors their symbols need.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
