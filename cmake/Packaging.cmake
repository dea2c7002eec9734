# Debian package of the installed tool: `cmake --build build --target package` or `cpack -G DEB`
# in the build folder. Only what the install rules list goes in: the window with its desktop entry
# and icon, and the line program pelmar-flash with its manual page; never the simulator,
# benchmarks or tests.
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

The interface speaks Chinese, English, German and Japanese.

For production lines, pelmar-flash updates many devices at once from one
command, with the same exchange on the line: each device is checked against
the image's product name, optionally verified after its restart, and
recorded as one JSON line; its exit status tells scripts how it went.]=])
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
# The language menu always names 简体中文 and 日本語 in their own scripts.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
