# Per-generator CPack settings (CPACK_PROJECT_CONFIG_FILE): the DEB
# generator packs the Linux components, one package each; the ZIP generator
# packs only the Windows release (the DLLs, docs/iis.md, the example).
# Both date every file they pack SOURCE_DATE_EPOCH, which is the time of
# the last commit unless the caller set it, so that packing the same commit
# again gives the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C ${CPACK_ORVANE_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_time)
    set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
  endif()
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_COMPONENTS_ALL ${CPACK_ORVANE_DEB_COMPONENTS})
elseif(CPACK_GENERATOR STREQUAL "ZIP")
  # A zip entry's DOS time is a local time: UTC's, whatever the builder's
  # time zone (the entry's Unix time is UTC anyway).
  set(ENV{TZ} UTC0)
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(CPACK_PACKAGE_FILE_NAME orvanehp-${CPACK_PACKAGE_VERSION}-windows)
  set(CPACK_ARCHIVE_WINDOWS_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
endif()
