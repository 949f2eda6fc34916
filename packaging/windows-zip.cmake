# The Windows release zip (CPack's ZIP generator, component "windows"):
#   x64/orvanehp.dll, x86/orvanehp.dll   stripped, version resource kept
#   iis.md                               deploying on IIS
#   example/                             the example installation
# Included from packaging/; needs the cross-built DLLs (ORVANE_WINDOWS_DLLS).
if(NOT ORVANE_WINDOWS_DLLS)
  return()
endif()
install(FILES ${ORVANE_WINDOWS_DLL_x86_64} DESTINATION x64 COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${ORVANE_WINDOWS_DLL_i686} DESTINATION x86 COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/iis.md DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/installation/ DESTINATION example
        COMPONENT windows EXCLUDE_FROM_ALL PATTERN .gitattributes EXCLUDE)
