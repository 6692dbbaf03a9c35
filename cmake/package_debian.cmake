# The Debian package: `cpack -G DEB` in a build tree configured with the
# default options writes quorrel_<version>_<arch>.deb at the top of the tree.
#
#   /usr/bin                         quorrel, quorrel-cli, quorrel-sim
#   /usr/lib/udev/rules.d            70-quorrel.rules (made from the modem table)
#   /usr/lib/systemd/system          quorrel-station.service (not enabled)
#   /usr/share/mender/modules/v3     quorrel-modem (the update module for fleets)
#   /usr/share/quorrel               modems.conf, help.pdf
#   /usr/share/applications          the desktop file
#   /usr/share/metainfo              the AppStream metainfo
#   /usr/share/icons/hicolor         the icon
#   /usr/share/man/man1              the three manual pages
#   /usr/share/doc/quorrel           copyright, changelog
include(GNUInstallDirs)

set(QUORREL_APP_ID org.quorrel.Quorrel)
set(_data ${CMAKE_SOURCE_DIR}/data)
set(_out ${CMAKE_BINARY_DIR}/data)
file(MAKE_DIRECTORY ${_out})

# The modem table beside the programs of the build tree, where they look for
# it before the installed one (configure_file copies it again whenever it
# changes).
configure_file(${_data}/modems.conf ${_out}/modems.conf COPYONLY)

# The udev rule, from the modem table.
set(QUORREL_UDEV_RULES ${_out}/70-quorrel.rules)
add_custom_command(
  OUTPUT ${QUORREL_UDEV_RULES}
  COMMAND ${CMAKE_COMMAND} -DTABLE=${_data}/modems.conf -DOUTPUT=${QUORREL_UDEV_RULES}
          -P ${CMAKE_SOURCE_DIR}/cmake/udev_rules.cmake
  DEPENDS ${_data}/modems.conf ${CMAKE_SOURCE_DIR}/cmake/udev_rules.cmake
  COMMENT "Writing the udev rule from the modem table"
  VERBATIM)

# Manual pages and the changelog go in compressed, without a time stamp in
# the gzip header, so that two builds give the same package.
find_program(QUORREL_GZIP gzip REQUIRED)
set(_compressed "")
foreach(_page quorrel.1 quorrel-cli.1 quorrel-sim.1)
  add_custom_command(
    OUTPUT ${_out}/${_page}.gz
    COMMAND ${QUORREL_GZIP} -9 -n -c ${_data}/man/${_page} > ${_out}/${_page}.gz
    DEPENDS ${_data}/man/${_page}
    VERBATIM)
  list(APPEND _compressed ${_out}/${_page}.gz)
  install(FILES ${_out}/${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_command(
  OUTPUT ${_out}/changelog.gz
  COMMAND ${QUORREL_GZIP} -9 -n -c ${_data}/debian/changelog > ${_out}/changelog.gz
  DEPENDS ${_data}/debian/changelog
  VERBATIM)
list(APPEND _compressed ${_out}/changelog.gz)
add_custom_target(quorrel_package_data ALL DEPENDS ${QUORREL_UDEV_RULES} ${_compressed})

if(TARGET quorrel-cli)
  install(TARGETS quorrel-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET quorrel-sim)
  install(TARGETS quorrel-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
# quorrel itself and its help document: src/gui/CMakeLists.txt.
install(FILES ${QUORREL_UDEV_RULES} DESTINATION lib/udev/rules.d)
# The flashing station as a service. The package has no maintainer scripts:
# nothing enables or starts it, and systemd makes its user when it runs.
install(FILES ${_data}/systemd/quorrel-station.service DESTINATION lib/systemd/system)
install(PROGRAMS ${_data}/mender/quorrel-modem DESTINATION ${CMAKE_INSTALL_DATADIR}/mender/modules/v3)
install(FILES ${_data}/modems.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/quorrel)
install(FILES ${_data}/${QUORREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_data}/${QUORREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${_data}/${QUORREL_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${_data}/debian/copyright ${_out}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME quorrel)
set(CPACK_PACKAGE_VENDOR "the quorrel developers")
set(CPACK_PACKAGE_CONTACT "quorrel maintainers <maintainers@quorrel.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for USB data-card modems")
# Wrapped by hand: the control file's description keeps these lines.
set(CPACK_PACKAGE_DESCRIPTION "quorrel writes a complete firmware release into a USB data-card modem
built on an MSM chipset: it checks the modem's version, backs up its NV
items, uploads the flash programmer, writes every image into flash and
restores the NV items. It comes as a window (quorrel), a command-line
program (quorrel-cli) and a virtual modem to try it on (quorrel-sim).")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
