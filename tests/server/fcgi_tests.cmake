# Tests of isapi-fcgi: the record layer, the parameter mapping, the process
# on its socket, and nginx in front of it. Included from
# tests/server/CMakeLists.txt.
# Child processes, raw exchanges, an isapi-fcgi process and a real nginx,
# shared with the nginx module's tests.
add_library(server_test_support STATIC fcgi_test_support.cpp nginx_test_support.cpp)
target_link_libraries(server_test_support PUBLIC orvane_defaults test_support
                      PRIVATE isapi_fcgi_protocol)
target_compile_definitions(server_test_support PRIVATE
  ISAPI_FCGI_PATH="$<TARGET_FILE:isapi-fcgi>")

add_executable(fcgi_tests
  fcgi_record_test.cpp
  fcgi_request_test.cpp
  fcgi_server_test.cpp
  fcgi_nginx_test.cpp)
target_link_libraries(fcgi_tests PRIVATE isapi_fcgi_frontend server_test_support GTest::gtest_main)
add_dependencies(fcgi_tests isapi-fcgi orvanehp probe_module)
target_compile_definitions(fcgi_tests PRIVATE
  ISAPI_FCGI_PATH="$<TARGET_FILE:isapi-fcgi>"
  ORVANEHP_PATH="$<TARGET_FILE:orvanehp>"
  PROBE_MODULE_PATH="$<TARGET_FILE:probe_module>"
  NGINX_SITE_EXAMPLE="${PROJECT_SOURCE_DIR}/examples/nginx/isapi-fcgi.conf"
  ORVANE_VERSION="${PROJECT_VERSION}")
gtest_discover_tests(fcgi_tests PROPERTIES TIMEOUT 60 LABELS fcgi)
