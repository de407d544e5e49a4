# Installed files beyond the programs, and the Debian package: `cpack -G DEB` in the build folder.
set(SALVEX_HOMEPAGE "https://salvex.example.org" CACHE STRING "Home page named by the package and the AppStream file")
set(SALVEX_PROJECT_LICENSE "LicenseRef-proprietary" CACHE STRING "SPDX licence expression of the AppStream file")
set(SALVEX_MAINTAINER "Salvex maintainers <maintainers@salvex.example.org>" CACHE STRING "Debian package maintainer")
set(SALVEX_PKG ${CMAKE_SOURCE_DIR}/packaging)
set(SALVEX_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)

# Debian wants man pages and the changelog compressed, and -n keeps the archives reproducible.
find_program(SALVEX_GZIP gzip REQUIRED)
set(SALVEX_MAN_PAGES salvex-cli.1)
if(SALVEX_GUI)
  list(APPEND SALVEX_MAN_PAGES salvex.1)
endif()
configure_file(${SALVEX_PKG}/changelog.in ${SALVEX_PKG_OUT}/changelog @ONLY)
set(SALVEX_COMPRESSED ${SALVEX_PKG_OUT}/changelog.gz)
add_custom_command(OUTPUT ${SALVEX_PKG_OUT}/changelog.gz
  COMMAND ${SALVEX_GZIP} -9nc ${SALVEX_PKG_OUT}/changelog > ${SALVEX_PKG_OUT}/changelog.gz
  DEPENDS ${SALVEX_PKG_OUT}/changelog)
foreach(page ${SALVEX_MAN_PAGES})
  add_custom_command(OUTPUT ${SALVEX_PKG_OUT}/${page}.gz
    COMMAND ${SALVEX_GZIP} -9nc ${CMAKE_SOURCE_DIR}/docs/${page} > ${SALVEX_PKG_OUT}/${page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/${page})
  list(APPEND SALVEX_COMPRESSED ${SALVEX_PKG_OUT}/${page}.gz)
  install(FILES ${SALVEX_PKG_OUT}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(salvex_compressed_docs ALL DEPENDS ${SALVEX_COMPRESSED})
install(FILES ${SALVEX_PKG_OUT}/changelog.gz ${SALVEX_PKG}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(SALVEX_GUI)
  install(TARGETS salvex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${SALVEX_PKG}/com.morvane.Salvex.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${SALVEX_PKG}/com.morvane.Salvex.metainfo.xml.in
                 ${SALVEX_PKG_OUT}/com.morvane.Salvex.metainfo.xml @ONLY)
  install(FILES ${SALVEX_PKG_OUT}/com.morvane.Salvex.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  # PNGs rendered from the SVG by packaging/icons/render (rsvg-convert), committed so the build
  # needs no SVG renderer.
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${SALVEX_PKG}/icons/salvex-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME salvex.png)
  endforeach()
  install(FILES ${SALVEX_PKG}/icons/salvex.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_PACKAGE_NAME salvex)
set(CPACK_PACKAGE_VENDOR Morvane)
set(CPACK_PACKAGE_CONTACT "${SALVEX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and save deleted and lost files on disks and images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Salvex finds and saves what the operating system no longer shows: deleted
files, folders lost through a quick format or a crash, and whole volumes whose
partition entry is gone. It reads disks and disk images sector by sector,
strictly read-only, and understands MBR and GPT partition tables, FAT12/16/32,
exFAT and NTFS, on disks of 512- or 4096-byte sectors. Besides raw and split
images it reads E01, VMDK, VHD/VHDX and qcow2 containers.
.
The package holds the desktop program salvex (when built) and the command
line program salvex-cli.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${SALVEX_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# salvex-cli mount needs fusermount3 to mount and unmount as a user; libfuse3 itself comes from
# dpkg-shlibdeps.
if(SALVEX_FUSE)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fuse3")
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_GENERATOR DEB)
include(CPack)
