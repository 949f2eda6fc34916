# CPack pre-build script: gives every directory of CPack's staging tree
# the mode 755 before it is packed. Installing creates the directories
# with mkdir, which the builder's umask restricts (to 700 under umask
# 077); the files get their modes from the install rules.
file(GLOB_RECURSE paths LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS paths)
  if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
