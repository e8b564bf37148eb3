# Debian package: `cmake --build build --target package` writes
# build/trndemo_VERSION_ARCH.deb from whatever the install rules install,
# with the package's dependencies computed from its binaries by dpkg-shlibdeps.

set(TRN_PACKAGE_MAINTAINER "trndemo maintainers <maintainers@trndemo.example.org>"
    CACHE STRING "Maintainer field of the Debian package")

# Debian's own documents for the package.  The version number has no Debian
# revision, so this is a native package and its changelog is changelog.gz.
install(FILES data/copyright DESTINATION share/doc/trndemo)
add_custom_command(OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz"
  COMMAND "${TRN_GZIP}" -9n -c "${CMAKE_CURRENT_SOURCE_DIR}/data/changelog"
          > "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz"
  DEPENDS data/changelog
  COMMENT "Compressing the package changelog"
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/changelog.gz" DESTINATION share/doc/trndemo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trndemo)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
set(CPACK_PACKAGE_CONTACT "${TRN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "test panel and command-line tool for the TRN board of the Q742 terminal")
set(CPACK_PACKAGE_DESCRIPTION
"trndemo is a window from which an operator sets and reads back every feature
of the TRN controller board of the Q742 terminal over a serial port (audio
routing, volume, brightness, backlight, ring tone, LEDs, GPIO outputs,
power-button pass-through) and sees the terminal's buttons and jacks live.

trnctl reaches the same board from the command line, for scripts and
production-line tests, with a self-test that files a JSON record.  trnsim
simulates the board on a pseudo-terminal, to run either without hardware.")

# Release binaries carry no debug sections in the package, directories are
# 0755 whatever the umask of the build.
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TRN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# trnctl loads libpq when it first reaches the line's database, and
# libmicrohttpd when `records serve` starts, so dpkg-shlibdeps cannot see
# them among the binaries' libraries; the quality page serves Debian's
# Chart.js.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpq5, libmicrohttpd12, libjs-chart.js")
# The service's settings are the administrator's: kept on upgrade, removed
# on purge.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles" "/etc/default/trnctl-records\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles")

# Only the DEB generator: no source package target.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
