# Where a Linux desktop looks for the program's menu entry, icon, manual page and software
# centre entry, and the Debian package made of it all (scripts/package).
include(GNUInstallDirs)

set(resources ${PROJECT_SOURCE_DIR}/resources)
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
# The desktop entry and the AppStream id share the reverse domain name of the project's address.
set(application_id org.example.lmk_video)
install(FILES ${resources}/${application_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${resources}/mainicon.png DESTINATION ${icons}/32x32/apps RENAME lmk-video.png)
install(FILES ${resources}/lmk-video.svg DESTINATION ${icons}/scalable/apps)
configure_file(${resources}/lmk-video.metainfo.xml.in
               ${CMAKE_CURRENT_BINARY_DIR}/${application_id}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${application_id}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Compressed as Debian's tools do: the most, and without a name or time stamp, so that the same
# source gives the same bytes.
function(lmk_gzip target source compressed)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" gzip ${source} ${compressed}
    DEPENDS ${source} VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${compressed})
endfunction()
set(manual ${CMAKE_CURRENT_BINARY_DIR}/lmk-video.1.gz)
lmk_gzip(lmk_manual ${resources}/lmk-video.1 ${manual})
install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Only the system-coder build makes a package: a program in /usr/bin cannot write its coder
# beside itself.
if(NOT LMK_SYSTEM_CODER)
  return()
endif()

# What Debian asks of every package: its copyright, its change log, and the reasons for the
# lintian warnings that stay.
set(debian ${resources}/debian)
set(change_log ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
lmk_gzip(lmk_change_log ${debian}/changelog ${change_log})
install(FILES ${debian}/copyright ${change_log} DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${debian}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME lmk-video)

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
# The libraries as dpkg-shlibdeps finds them (the seccomp library of the coder's sandbox among
# them, with its least version), the coder the program runs, and bubblewrap that runs it in name
# spaces of its own. A library named here as well would be listed twice.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ffmpeg, bubblewrap")
# The window's font, Tahoma (without it the desktop's own font stands in), and Qt's texts in the
# user's language for the file dialog.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, qt6-translations-l10n")
include(CPack)
