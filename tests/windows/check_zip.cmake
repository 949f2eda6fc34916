# Checks the Windows release zip as an operator receives it: unpacks it,
# compares its file list with the one below, checks SHA256SUMS against the
# files, runs check_dll.cmake on every DLL in it, and looks for the guards
# of the IIS scripts in their text, so that a missing or extra file, swapped
# x64/x86 folders, a plain DLL in trace/ or a lost guard fail.
#
#   cmake -DZIP=<zip> -DWORK_DIR=<empty dir> -DOBJDUMP=<mingw objdump>
#         -DVERSION=<a.b.c.d> -DDESCRIPTION=<text> -P check_zip.cmake

foreach(var ZIP WORK_DIR OBJDUMP VERSION DESCRIPTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_zip.cmake: ${var} is not set")
  endif()
endforeach()

get_filename_component(top ${ZIP} NAME_WLE)
set(expected_files
  LICENSE
  SHA256SUMS
  THIRD-PARTY-NOTICES.txt
  config/applicationHost-orvane.xml
  config/web.config
  example/data/dremgate_j.ini
  example/help/nohp.html
  example/template/dremerror.html
  iis.md
  install-orvanehp.ps1
  remove-orvanehp.ps1
  trace/x64/orvanehp.dll
  trace/x86/orvanehp.dll
  x64/orvanehp.dll
  x86/orvanehp.dll)
# Each DLL's format, and the special build it must say it is.
set(dlls x64/orvanehp.dll pei-x86-64 none
         x86/orvanehp.dll pei-i386 none
         trace/x64/orvanehp.dll pei-x86-64 trace
         trace/x86/orvanehp.dll pei-i386 trace)

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${ZIP}: ${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(ARCHIVE_EXTRACT INPUT ${ZIP} DESTINATION ${WORK_DIR})
set(root ${WORK_DIR}/${top})
if(NOT IS_DIRECTORY ${root})
  message(FATAL_ERROR "${ZIP}: no top-level folder ${top}/")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${WORK_DIR} ${WORK_DIR}/*)
list(TRANSFORM files REPLACE "^${top}/" "")
list(SORT files)
if(NOT files STREQUAL expected_files)
  set(missing ${expected_files})
  list(REMOVE_ITEM missing ${files})
  set(extra ${files})
  list(REMOVE_ITEM extra ${expected_files})
  fail("file list differs: missing '${missing}', unexpected '${extra}'")
endif()

# Every file but SHA256SUMS itself, once, with its hash.
file(STRINGS ${root}/SHA256SUMS lines)
set(summed "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    fail("SHA256SUMS: malformed line '${line}'")
    continue()
  endif()
  set(hash ${CMAKE_MATCH_1})
  set(file ${CMAKE_MATCH_2})
  list(APPEND summed ${file})
  if(NOT EXISTS ${root}/${file})
    fail("SHA256SUMS names '${file}', which the zip lacks")
    continue()
  endif()
  file(SHA256 ${root}/${file} actual)
  if(NOT actual STREQUAL hash)
    fail("SHA256SUMS: '${file}' has ${actual}, listed ${hash}")
  endif()
endforeach()
set(to_sum ${files})
list(REMOVE_ITEM to_sum SHA256SUMS)
list(SORT summed)
if(NOT summed STREQUAL to_sum)
  fail("SHA256SUMS covers '${summed}', expected '${to_sum}'")
endif()

while(dlls)
  list(POP_FRONT dlls dll format special_build)
  if(special_build STREQUAL "none")
    set(special_build "")
  endif()
  if(NOT EXISTS ${root}/${dll})
    continue()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DDLL=${root}/${dll}
                          -DFORMAT=${format} -DVERSION=${VERSION} "-DDESCRIPTION=${DESCRIPTION}"
                          -DSPECIAL_BUILD=${special_build}
                          -P ${CMAKE_CURRENT_LIST_DIR}/check_dll.cmake
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    fail("${dll} fails the DLL check")
  endif()
endwhile()

# The IIS scripts need Windows PowerShell and IIS, so no test here runs
# them; their guards are checked as text instead. A row: the script, "has"
# or "lacks", what the pattern stands for, and a regular expression over the
# script with every line end written as <EOL>.
function(script_guard script expectation what pattern)
  file(READ ${root}/${script} text)
  string(REPLACE "\r\n" "<EOL>" text "${text}")
  string(REPLACE "\n" "<EOL>" text "${text}")
  if(text MATCHES "${pattern}")
    set(found has)
  else()
    set(found lacks)
  endif()
  if(NOT found STREQUAL expectation)
    fail("${script} ${found} ${what}")
    set(failures ${failures} PARENT_SCOPE)
  endif()
endfunction()
set(unguarded_path_cmdlet
    [=[(Test-Path|Get-Item|Copy-Item|Remove-Item|Set-ItemProperty|Get-Content|Get-FileHash|Get-ChildItem|Get-Acl|New-Item|Select-String) +[^-]| -Path ]=])
foreach(script install-orvanehp.ps1 remove-orvanehp.ps1)
  script_guard(${script} has "the edition requirement" [=[<EOL>#Requires -PSEdition Desktop<EOL>]=])
  script_guard(${script} has "the refusal of a 32-bit PowerShell"
    [=[if \(\[Environment\]::Is64BitOperatingSystem -and -not \[Environment\]::Is64BitProcess\) {<EOL> +throw]=])
  script_guard(${script} has "the refusal of an apostrophe in a name"
    [=[foreach \(\$name in 'InstallDir', 'Site', 'Application', 'Pool'\) {<EOL> +if \(\(Get-Variable -Name \$name -ValueOnly\)\.Contains\("'"\)\) {<EOL> +throw]=])
  script_guard(${script} has "the refusal of a drive root"
    [=[if \(\$InstallDir -eq \[System\.IO\.Path\]::GetPathRoot\(\$InstallDir\)\.TrimEnd\('\\'\)\) {<EOL> +throw]=])
  script_guard(${script} has "a configuration backup" [=[<EOL> *Backup-WebConfiguration -Name \$backup ]=])
  script_guard(${script} lacks "a path cmdlet without -LiteralPath" "${unguarded_path_cmdlet}")
endforeach()
script_guard(install-orvanehp.ps1 has "the pool started again in finally"
  [=[} finally {<EOL> +if \(\$restart\) {<EOL> +Start-WebAppPool -Name \$Pool<EOL>]=])
script_guard(install-orvanehp.ps1 has "the refusal of a shared pool without -Force"
  [=[if \(\$others -and -not \$Force\) {<EOL> +throw]=])
script_guard(install-orvanehp.ps1 has "the refusal of a path outside the ANSI code page"
  [=[if \(\$ansi\.GetString\(\$ansi\.GetBytes\(\$InstallDir\)\) -cne \$InstallDir\) {<EOL> +throw]=])
script_guard(install-orvanehp.ps1 has "icacls given a SID" [=[icacls\.exe \$InstallDir /grant "\*\${sid}:]=])
script_guard(remove-orvanehp.ps1 has "-WhatIf" [=[<EOL>\[CmdletBinding\(SupportsShouldProcess\)\]<EOL>]=])
script_guard(remove-orvanehp.ps1 has "the refusal of a folder without the DLL"
  [=[-and -not \(Test-Path -LiteralPath \$dll -PathType Leaf\)\) {<EOL> +throw]=])
script_guard(remove-orvanehp.ps1 has "the list of folders the installation made"
  [=[<EOL>\$installed = 'data', 'help', 'template', 'wwwroot', 'isapi'<EOL>]=])
script_guard(remove-orvanehp.ps1 lacks "a removal of the whole installation folder"
  [=[Remove-Item -LiteralPath \$InstallDir -Recurse]=])
script_guard(remove-orvanehp.ps1 has "the allow-list entry kept for another user of the DLL"
  [=[} elseif \(\$dllUsers\) {<EOL> +Write-Warning "\$dll stays allowed]=])
script_guard(remove-orvanehp.ps1 has "the files kept for another user of the DLL"
  [=[} elseif \(\$dllUsers\) {<EOL> +Write-Warning "\$InstallDir kept]=])

if(failures GREATER 0)
  message(FATAL_ERROR "${ZIP}: ${failures} check(s) failed")
endif()
message(STATUS "${ZIP}: ${files}")
