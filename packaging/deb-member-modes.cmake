# CPack post-build script: gives every member of each .deb built (an ar
# archive: debian-binary, control.tar.gz, data.tar.gz) the mode 100644,
# as dpkg-deb writes them. CPack copies the modes of its temporary files,
# which the builder's umask decides, into the member headers.
#
# An ar archive is "!<arch>\n", then per member a 60-byte text header
# (mode at byte 40, 8 characters; size at byte 48, 10 characters) and the
# member's bytes, padded to an even length.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE ${package} end)
  set(at 8)
  while(at LESS end)
    file(READ ${package} header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 size)
    string(STRIP "${size}" size)
    math(EXPR mode_at "${at} + 40")
    execute_process(
      COMMAND sh -c "printf '100644  ' | dd of=\"$1\" bs=1 seek=$2 conv=notrunc status=none"
              sh ${package} ${mode_at}
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${package}: cannot set the mode of the member at ${at}")
    endif()
    math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
