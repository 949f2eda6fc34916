# The fake host and throw-away installations: the module suite's, and the
# benchmarks', which include this file themselves when the suites are off.
add_library(isapi_fake_host STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_host.cpp
            ${CMAKE_CURRENT_LIST_DIR}/installation.cpp)
target_link_libraries(isapi_fake_host PUBLIC win32compat PRIVATE orvane_defaults)
