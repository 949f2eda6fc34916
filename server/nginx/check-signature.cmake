# Compares the module signature string embedded in MODULE with the one in
# the NGINX binary; on a difference removes MODULE and stops with one line.
# usage: cmake -DMODULE=... -DNGINX=... -P check-signature.cmake
set(signature_regex "^[0-9]+,[0-9]+,[0-9]+,[01]+$")
file(STRINGS "${MODULE}" module_signature REGEX "${signature_regex}")
file(STRINGS "${NGINX}" nginx_signature REGEX "${signature_regex}")
if(NOT module_signature OR NOT module_signature STREQUAL nginx_signature)
  file(REMOVE "${MODULE}")
  message(FATAL_ERROR "nginx module: signature \"${module_signature}\" of ${MODULE} differs from \"${nginx_signature}\" of ${NGINX}; it would not load")
endif()
