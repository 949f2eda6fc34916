# orvanehp.dll for x64 and x86: this same source tree cross-built with
# mingw-w64, once per architecture, as builds of their own under
# windows/mingw-<arch>/. Each is installed stripped (version resource kept)
# into windows/x64/ or windows/x86/, with its traced twin in trace/ below
# that: the files the release zip carries.
# With ORVANE_WINDOWS_TESTS the cross builds also make the Win32 test
# programs, which tests/windows/ runs under Wine.

find_program(ORVANE_MINGW_X86_64_CXX x86_64-w64-mingw32-g++-posix)
find_program(ORVANE_MINGW_I686_CXX i686-w64-mingw32-g++-posix)
find_program(ORVANE_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
# Debian's wine64 package keeps its loader off PATH.
find_program(ORVANE_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ORVANE_WINE64 NAMES wine64)
find_program(ORVANE_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(ORVANE_WINESERVER NAMES wineserver)
# A 32-bit Wine (Debian: wine32 from the i386 architecture) is optional;
# without it the i686 DLL is only checked with objdump.
find_program(ORVANE_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)

set(mingw_tools ORVANE_MINGW_X86_64_CXX ORVANE_MINGW_I686_CXX ORVANE_MINGW_OBJDUMP)
set(wine_tools ORVANE_WINE64 ORVANE_WINESERVER)

# Without mingw-w64 and Wine a plain configure builds the Linux parts only;
# the default preset (and so CI) turns the Windows tests on, which then
# requires them.
set(have_windows_tools ON)
foreach(tool IN LISTS mingw_tools wine_tools)
  if(NOT ${tool})
    set(have_windows_tools OFF)
  endif()
endforeach()
if(ORVANE_BUILD_TESTS AND have_windows_tools)
  set(windows_tests_default ON)
else()
  set(windows_tests_default OFF)
endif()
option(ORVANE_WINDOWS_TESTS "Cross-build the Windows DLLs and test them under Wine"
       ${windows_tests_default})
option(ORVANE_WINDOWS_DLLS "Cross-build the Windows DLLs with mingw-w64" ${ORVANE_WINDOWS_TESTS})
if(ORVANE_WINDOWS_TESTS AND NOT ORVANE_WINDOWS_DLLS)
  message(FATAL_ERROR "ORVANE_WINDOWS_TESTS needs ORVANE_WINDOWS_DLLS")
endif()
if(NOT ORVANE_WINDOWS_DLLS)
  message(STATUS "Windows DLLs: not built (ORVANE_WINDOWS_DLLS is OFF)")
  return()
endif()

set(required_tools ${mingw_tools})
if(ORVANE_WINDOWS_TESTS)
  list(APPEND required_tools ${wine_tools})
endif()
foreach(tool IN LISTS required_tools)
  if(NOT ${tool})
    message(FATAL_ERROR "The Windows DLLs need mingw-w64, and their tests wine64 "
                        "(${tool} not found); install them or configure with the linux preset "
                        "(-DORVANE_WINDOWS_DLLS=OFF -DORVANE_WINDOWS_TESTS=OFF)")
  endif()
endforeach()

# Everything the cross builds compile or configure from: a change to any of
# it reruns them, and nothing else does.
file(GLOB_RECURSE windows_build_inputs CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/CMakeLists.txt
  ${PROJECT_SOURCE_DIR}/cmake/*
  ${PROJECT_SOURCE_DIR}/isapi/*
  ${PROJECT_SOURCE_DIR}/extension/*
  ${PROJECT_SOURCE_DIR}/tests/CMakeLists.txt
  ${PROJECT_SOURCE_DIR}/tests/extension/*
  ${PROJECT_SOURCE_DIR}/tests/windows/win32/*
  ${PROJECT_SOURCE_DIR}/tests/windows/profile_query.h)

include(ExternalProject)
set(windows_arch_dir_x86_64 x64)
set(windows_arch_dir_i686 x86)
foreach(arch x86_64 i686)
  set(ORVANE_WINDOWS_BUILD_${arch} ${CMAKE_BINARY_DIR}/windows/mingw-${arch})
  set(ORVANE_WINDOWS_DLL_${arch} ${CMAKE_BINARY_DIR}/windows/${windows_arch_dir_${arch}}/orvanehp.dll)
  set(ORVANE_WINDOWS_TRACE_DLL_${arch}
      ${CMAKE_BINARY_DIR}/windows/${windows_arch_dir_${arch}}/trace/orvanehp.dll)
  ExternalProject_Add(windows_${arch}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${ORVANE_WINDOWS_BUILD_${arch}}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64-${arch}.cmake
      -DCMAKE_BUILD_TYPE=Release
      -DORVANE_BUILD_TESTS=${ORVANE_WINDOWS_TESTS}
    # strip rewrites the PE header with the current time unless
    # SOURCE_DATE_EPOCH says another: 0, as the link leaves it.
    INSTALL_COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0
                    ${CMAKE_COMMAND} --install <BINARY_DIR> --strip
                    --prefix ${CMAKE_BINARY_DIR}/windows/${windows_arch_dir_${arch}}
    BUILD_BYPRODUCTS ${ORVANE_WINDOWS_BUILD_${arch}}/extension/orvanehp.dll
                     ${ORVANE_WINDOWS_BUILD_${arch}}/extension/trace/orvanehp.dll
                     ${ORVANE_WINDOWS_BUILD_${arch}}/tests/windows/win32/module_win32_tests.exe
                     ${ORVANE_WINDOWS_BUILD_${arch}}/tests/windows/win32/profile_probe.exe)
  ExternalProject_Add_StepDependencies(windows_${arch} build ${windows_build_inputs})
endforeach()
