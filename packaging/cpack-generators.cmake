# Per-generator CPack settings (CPACK_PROJECT_CONFIG_FILE): the DEB
# generator packs the Linux components, one package each; the ZIP generator
# packs only the Windows release (the DLLs, docs/iis.md, the example).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_ORVANE_DEB_COMPONENTS})
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME orvanehp-${CPACK_PACKAGE_VERSION}-windows)
  set(CPACK_ARCHIVE_WINDOWS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
