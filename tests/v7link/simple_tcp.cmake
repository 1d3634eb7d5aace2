# test_simple_tcp: the asynchronous TCP client against loopback servers written in the tests.
add_executable(test_simple_tcp
  ${CMAKE_CURRENT_SOURCE_DIR}/simple_tcp_client_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/simple_tcp_errors_test.cpp
)
target_link_libraries(test_simple_tcp PRIVATE drvnt_v7link drvnt_test_support_qt GTest::gmock)
gtest_discover_tests(test_simple_tcp DISCOVERY_TIMEOUT 30)
