# The Debian packages, built by CPack's DEB generator (cpack, or the
# package workflow preset): orvanehp, isapi-server, isapi-fcgi and, with the
# nginx module, libnginx-mod-http-isapi. Included from packaging/.

set(CPACK_PACKAGE_NAME orvane-isapi)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "orvane-isapi project <orvane-isapi@orvane.example>")
set(CPACK_PACKAGE_VENDOR "orvane-isapi project")
if(ORVANE_WINDOWS_DLLS)
  set(CPACK_GENERATOR DEB ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cpack-generators.cmake)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Read by cpack-generators.cmake at packaging time, hence the CPACK_ prefix.
set(CPACK_ORVANE_DEB_COMPONENTS ${package_components})
set(CPACK_ORVANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION httpd)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The hosts and the nginx module link libwin32compat.so.0 from the orvanehp
# package; dpkg-shlibdeps finds it here and leaves that dependency to the
# explicit Depends below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/platform)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The packages and the zip get the same modes whatever the builder's umask.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/staging-modes.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/deb-member-modes.cmake)
# Packages built for one Debian release (scripts/build-packages.sh) depend
# on that release's libraries and nginx, so their version names it:
# 0.0.1~deb13. The tilde sorts it before a plain 0.0.1.
set(ORVANE_DEBIAN_RELEASE "" CACHE STRING
    "Debian release the packages are built for (deb12, deb13), appended to their version")
set(deb_version ${PROJECT_VERSION})
if(ORVANE_DEBIAN_RELEASE)
  string(APPEND deb_version "~${ORVANE_DEBIAN_RELEASE}")
endif()
set(CPACK_DEBIAN_PACKAGE_VERSION ${deb_version})
set(same_module "orvanehp (= ${deb_version})")

set(CPACK_DEBIAN_MODULE_PACKAGE_NAME orvanehp)
set(CPACK_DEBIAN_MODULE_DESCRIPTION "orvane HP Translation CGI module for ISAPI hosts
An Internet Server extension (ISAPI 4.0) module: whatever the request, it
answers status 200 with a no-cache header block carrying TrResult: -1,
followed by the installation's notice page, or a built-in Shift_JIS error
page when that page cannot be sent.
.
This package holds the module (orvanehp.so), libwin32compat, the Win32
calls it makes implemented over POSIX, and an example installation. Serve
it with isapi-server, isapi-fcgi or libnginx-mod-http-isapi.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME isapi-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "${same_module}")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "standalone HTTP server for ISAPI extension modules
isapi-server loads an ISAPI 4.0 extension module (such as orvanehp) and
serves it over HTTP/1.1 itself: strict request parsing, keep-alive, request
limits, an access log in Common Log Format, and a clean drain on SIGTERM.
.
The isapi-server systemd service is installed but not enabled; its
settings are in /etc/default/isapi-server.")

set(CPACK_DEBIAN_FCGI_PACKAGE_NAME isapi-fcgi)
set(CPACK_DEBIAN_FCGI_PACKAGE_DEPENDS "${same_module}")
set(CPACK_DEBIAN_FCGI_PACKAGE_SUGGESTS "nginx")
set(CPACK_DEBIAN_FCGI_DESCRIPTION "FastCGI server for ISAPI extension modules
isapi-fcgi loads an ISAPI 4.0 extension module (such as orvanehp) and
serves it to a web server over FastCGI, typically behind nginx, which
handles TLS, slow clients and buffering.
.
The socket-activated isapi-fcgi systemd units are installed but not
enabled; the settings are in /etc/default/isapi-fcgi.")

set(CPACK_DEBIAN_NGINX_PACKAGE_NAME libnginx-mod-http-isapi)
# The module is built for one nginx binary interface, which Debian's nginx
# package provides as a virtual package.
set(CPACK_DEBIAN_NGINX_PACKAGE_DEPENDS "${same_module}, ${ORVANE_NGINX_ABI}")
set(CPACK_DEBIAN_NGINX_DESCRIPTION "nginx module that runs ISAPI extension modules
This dynamic nginx module loads an ISAPI 4.0 extension module (such as
orvanehp) into the nginx worker processes and answers the locations it is
configured for with it, without a separate host process.
.
The module is enabled in /etc/nginx/modules-enabled on installation.")

set(maintainer_scripts ${CMAKE_CURRENT_BINARY_DIR}/debian)
# remove_paths: what the units leave at run time; purge_paths: what stays
# until the package is purged.
function(orvane_units_scripts component package units remove_paths purge_paths)
  set(PACKAGE ${package})
  set(UNITS ${units})
  set(REMOVE_PATHS ${remove_paths})
  set(PURGE_PATHS ${purge_paths})
  foreach(script postinst prerm postrm)
    configure_file(debian/units-${script}.in ${maintainer_scripts}/${component}/${script} @ONLY)
  endforeach()
endfunction()
orvane_units_scripts(server isapi-server isapi-server.service ""
                     "/var/log/isapi-server /var/log/private/isapi-server")
# systemd makes the socket's directory and leaves it when the socket goes.
orvane_units_scripts(fcgi isapi-fcgi "isapi-fcgi.socket isapi-fcgi.service" /run/orvane "")
file(WRITE ${maintainer_scripts}/server/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/isapi-server\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/isapi-server\n")
file(WRITE ${maintainer_scripts}/fcgi/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/isapi-fcgi\n")
foreach(component server fcgi)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA
      ${maintainer_scripts}/${component}/postinst ${maintainer_scripts}/${component}/prerm
      ${maintainer_scripts}/${component}/postrm ${maintainer_scripts}/${component}/conffiles)
endforeach()
configure_file(debian/nginx-postinst.in ${maintainer_scripts}/nginx/postinst @ONLY)
set(PACKAGE ${CPACK_DEBIAN_NGINX_PACKAGE_NAME})
configure_file(debian/nginx-prerm.in ${maintainer_scripts}/nginx/prerm @ONLY)
configure_file(debian/nginx-postrm.in ${maintainer_scripts}/nginx/postrm @ONLY)
configure_file(debian/nginx-triggers ${maintainer_scripts}/nginx/triggers COPYONLY)
set(CPACK_DEBIAN_NGINX_PACKAGE_CONTROL_EXTRA
    ${maintainer_scripts}/nginx/postinst ${maintainer_scripts}/nginx/prerm
    ${maintainer_scripts}/nginx/postrm
    ${maintainer_scripts}/nginx/triggers)
