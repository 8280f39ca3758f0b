# Where a Linux desktop looks for the program's menu entry and icon, and the Debian package made
# of it all (scripts/package).
include(GNUInstallDirs)

set(resources ${PROJECT_SOURCE_DIR}/resources)
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
install(FILES ${resources}/lmk-video.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${resources}/mainicon.png DESTINATION ${icons}/32x32/apps RENAME lmk-video.png)
install(FILES ${resources}/lmk-video.svg DESTINATION ${icons}/scalable/apps)

# Only the system-coder build makes a package: a program in /usr/bin cannot write its coder
# beside itself.
if(NOT LMK_SYSTEM_CODER)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lmk-video)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT "LMK-Video developers <lmk-video@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "re-encodes video files for portable devices")
set(CPACK_PACKAGE_DESCRIPTION
  "Drop video files on the window of LMK-Video (ЛМК-Видео): each is re-encoded
with FFmpeg into a copy named lmk- plus its name, beside it, its frame fitted
into a target size (320 x 240 unless another is typed, proportions kept) and
its sound as MP3. The window shows the file being worked on and how far it
has come. From a terminal, lmk-video --convert FILE... does the same.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${LMK_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt and C++ libraries as dpkg-shlibdeps finds them, the coder the program runs, and the
# seccomp library of the coder's sandbox (named too, should shlibdeps be turned off).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, libseccomp2")
# The window's font, Tahoma (without it the desktop's own font stands in), and Qt's texts in the
# user's language for the file dialog.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, qt6-translations-l10n")
include(CPack)
