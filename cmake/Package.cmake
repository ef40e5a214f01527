# The Debian package: `cpack -G DEB` in the build folder gives tamberlo_<version>_<arch>.deb.
# The program goes under /usr whatever CMAKE_INSTALL_PREFIX says; the shared libraries it links
# are turned into dependencies by dpkg-shlibdeps, and the converter it runs is named here. The
# desktop entry and icon are registered by the triggers of the desktop's own packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamberlo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Corvane Software")
set(CPACK_PACKAGE_CONTACT "Corvane Software <support@corvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Download videos from video pages and convert them")
set(CPACK_PACKAGE_DESCRIPTION "Tamberlo downloads videos from video pages and converts them \
with ffmpeg for portable players, phones and desktop players.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg")
# On a Wayland session: Qt's Wayland platform where there is no XWayland, and the helper that
# reads the clipboard through the compositor's data-control protocol.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, wl-clipboard")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://www.corvane.example/tamberlo/")

include(CPack)
