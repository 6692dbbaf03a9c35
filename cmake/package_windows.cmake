# The Windows package: `cpack -G ZIP` in the Windows build folder gives
# quorrel-<version>-win64.zip (win32 for the i686 build) with the programs,
# the help document and a README.
set(_programs quorrel-cli)
if(TARGET quorrel)
  list(APPEND _programs quorrel)
endif()
install(TARGETS ${_programs} RUNTIME DESTINATION .)
# The help document comes from the host build; without Qt there it is missing.
install(FILES ${QUORREL_HELP_PDF} DESTINATION . OPTIONAL)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/README-windows.txt DESTINATION . RENAME README.txt)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_arch win64)
else()
  set(_arch win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quorrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quorrel-${PROJECT_VERSION}-${_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Without their debug information the programs are a tenth of the size.
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware updater for USB data-card modems")
include(CPack)
