# Checks a built orvanehp.dll from the outside, as IIS and an operator see it:
# the PE format, exactly the three undecorated entry points, imports from
# system DLLs only, and the version resource, whose SpecialBuild value tells
# the traced build (SPECIAL_BUILD=trace) from the plain one (none).
#
#   cmake -DOBJDUMP=<mingw objdump> -DDLL=<dll> -DFORMAT=<pei-x86-64|pei-i386>
#         -DVERSION=<a.b.c.d> -DDESCRIPTION=<text> [-DSPECIAL_BUILD=trace]
#         -P check_dll.cmake

foreach(var OBJDUMP DLL FORMAT VERSION DESCRIPTION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll.cmake: ${var} is not set")
  endif()
endforeach()

set(failures 0)
macro(fail message)
  message(SEND_ERROR "${DLL}: ${message}")
  math(EXPR failures "${failures} + 1")
endmacro()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed: ${status}")
endif()

string(REGEX MATCH "file format ([^\n]*)" _ "${headers}")
set(format "${CMAKE_MATCH_1}")
if(NOT format STREQUAL FORMAT)
  fail("file format is '${format}', expected '${FORMAT}'")
endif()

# Exported names: the rows of the "[Ordinal/Name Pointer] Table", up to the
# blank line that ends it. Each row starts with its index and ends with the
# name; what lies between differs with the binutils version ("[   0] Name"
# in 2.40, "[   0] +base[   1]  0000 Name" in 2.44).
string(FIND "${headers}" "[Ordinal/Name Pointer] Table" at)
set(exports "")
if(at GREATER -1)
  string(SUBSTRING "${headers}" ${at} -1 table)
  string(FIND "${table}" "\n\n" end)
  string(SUBSTRING "${table}" 0 ${end} table)
  string(REGEX MATCHALL "\n\t\\[ *[0-9]+\\] [^\n]+" rows "${table}")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "[^ \t\n]+$" name "${row}")
    list(APPEND exports "${name}")
  endforeach()
endif()
list(SORT exports)
set(expected_exports GetExtensionVersion HttpExtensionProc TerminateExtension)
if(NOT exports STREQUAL expected_exports)
  fail("exports are '${exports}', expected '${expected_exports}'")
endif()

# Imported DLLs: only what every Windows has, so no runtime DLL has to be
# deployed next to the module.
string(REGEX MATCHALL "DLL Name: [^\n]+" rows "${headers}")
set(imports "")
foreach(row IN LISTS rows)
  string(REPLACE "DLL Name: " "" name "${row}")
  string(TOLOWER "${name}" name)
  list(APPEND imports "${name}")
endforeach()
list(SORT imports)
set(expected_imports kernel32.dll msvcrt.dll)
if(NOT imports STREQUAL expected_imports)
  fail("imports '${imports}', expected '${expected_imports}'")
endif()
# The profile and file calls must be the platform's own.
foreach(call GetPrivateProfileStringA CreateFileA GetFileSize ReadFile CloseHandle)
  string(REGEX MATCH "[ \t]${call}\n" found "${headers}")
  if(NOT found)
    fail("does not import ${call}")
  endif()
endforeach()

# The resource directory must hold one RT_VERSION (16) entry.
string(REGEX MATCH "Type Table:[^\n]*\n[0-9a-f]+ +Entry: ID: 0x000010," found "${headers}")
if(NOT found)
  fail("has no version resource")
endif()

# The version resource's bytes, as one lower-case hex string.
execute_process(COMMAND ${OBJDUMP} -s -j .rsrc ${DLL} OUTPUT_VARIABLE dump
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -s -j .rsrc ${DLL} failed: ${status}")
endif()
set(rsrc "")
string(REGEX MATCHALL "\n [0-9a-f]+ [^\n]+" rows "${dump}")
foreach(row IN LISTS rows)
  # " <address> <4 groups of 8 hex digits>  <ascii>": keep the hex groups.
  string(REGEX REPLACE "^\n [0-9a-f]+ " "" row "${row}")
  string(SUBSTRING "${row}" 0 35 row)
  string(REPLACE " " "" row "${row}")
  string(APPEND rsrc "${row}")
endforeach()

# VS_FIXEDFILEINFO: signature 0xFEEF04BD, structure version, then the file
# and product versions as (major<<16|minor, build<<16|revision), little-endian.
function(le_dword high low out)
  math(EXPR value "(${high} << 16) | ${low}" OUTPUT_FORMAT HEXADECIMAL)
  string(REGEX REPLACE "^0x" "" value "${value}")
  string(LENGTH "${value}" length)
  math(EXPR pad "8 - ${length}")
  string(REPEAT "0" ${pad} zeros)
  set(value "${zeros}${value}")
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 v0)
list(GET parts 1 v1)
list(GET parts 2 v2)
list(GET parts 3 v3)
le_dword(${v0} ${v1} version_ms)
le_dword(${v2} ${v3} version_ls)
set(fixed "bd04effe00000100${version_ms}${version_ls}${version_ms}${version_ls}")
string(FIND "${rsrc}" "${fixed}" at)
if(at EQUAL -1)
  fail("VS_FIXEDFILEINFO does not carry file and product version ${VERSION}")
endif()

# StringFileInfo values are UTF-16LE.
function(utf16_hex text out)
  string(HEX "${text}" hex)
  string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()
set(pairs "FileVersion=${VERSION}" "ProductVersion=${VERSION}" "FileDescription=${DESCRIPTION}")
if(SPECIAL_BUILD)
  list(APPEND pairs "SpecialBuild=${SPECIAL_BUILD}")
else()
  utf16_hex("SpecialBuild" key_hex)
  string(FIND "${rsrc}" "${key_hex}" at)
  if(at GREATER -1)
    fail("version resource names a special build")
  endif()
endif()
foreach(pair IN LISTS pairs)
  string(REGEX MATCH "^([^=]+)=(.*)$" _ "${pair}")
  set(key "${CMAKE_MATCH_1}")
  set(value "${CMAKE_MATCH_2}")
  utf16_hex("${key}" key_hex)
  utf16_hex("${value}" value_hex)
  # The key, its terminator and alignment padding, then the value and its
  # terminator.
  string(REGEX MATCH "${key_hex}0000(0000)?${value_hex}0000" found "${rsrc}")
  if(NOT found)
    fail("version resource lacks ${key} '${value}'")
  endif()
endforeach()

if(failures GREATER 0)
  message(FATAL_ERROR "${DLL}: ${failures} check(s) failed")
endif()
message(STATUS "${DLL}: ${format}, exports ${exports}, imports ${imports}, version ${VERSION}")
