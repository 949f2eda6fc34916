# The Windows release zip (CPack's ZIP generator, component "windows"):
#   x64/orvanehp.dll, x86/orvanehp.dll   stripped, version resource kept
#   trace/x64/, trace/x86/               the same module with its trace on
#   iis.md                               deploying on IIS
#   install-orvanehp.ps1, remove-orvanehp.ps1, config/   IIS set-up
#   example/                             the example installation
#   LICENSE, THIRD-PARTY-NOTICES.txt     the module's and the static runtime's
#   SHA256SUMS                           of every other file, written last
# Included from packaging/; needs the cross-built DLLs (ORVANE_WINDOWS_DLLS).
# tests/windows/check_zip.cmake holds the same list and checks the zip.
if(NOT ORVANE_WINDOWS_DLLS)
  return()
endif()
set(windows_dir ${CMAKE_CURRENT_SOURCE_DIR}/windows)
install(FILES ${ORVANE_WINDOWS_DLL_x86_64} DESTINATION x64 COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${ORVANE_WINDOWS_DLL_i686} DESTINATION x86 COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${ORVANE_WINDOWS_TRACE_DLL_x86_64} DESTINATION trace/x64
        COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${ORVANE_WINDOWS_TRACE_DLL_i686} DESTINATION trace/x86
        COMPONENT windows EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/iis.md ${PROJECT_SOURCE_DIR}/LICENSE
              ${windows_dir}/THIRD-PARTY-NOTICES.txt
              ${windows_dir}/install-orvanehp.ps1 ${windows_dir}/remove-orvanehp.ps1
        DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
install(DIRECTORY ${windows_dir}/config/ DESTINATION config COMPONENT windows EXCLUDE_FROM_ALL)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/installation/ DESTINATION example
        COMPONENT windows EXCLUDE_FROM_ALL PATTERN .gitattributes EXCLUDE)
# Runs after the rules above (install rules run in order): sha256sum's
# format, so that both sha256sum -c and PowerShell's Get-FileHash can check
# the unpacked files.
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(GLOB_RECURSE files RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM files SHA256SUMS)
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    file(SHA256 "${root}/${file}" hash)
    string(APPEND sums "${hash}  ${file}\n")
  endforeach()
  file(WRITE "${root}/SHA256SUMS" "${sums}")
  file(CHMOD "${root}/SHA256SUMS" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]] COMPONENT windows EXCLUDE_FROM_ALL)
