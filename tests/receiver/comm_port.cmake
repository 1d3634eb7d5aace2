# test_comm_port: the serial port driver, with a fake device and over real pseudo-terminals.

# The pseudo-terminal that plays the receiver's side of the serial line.
add_library(drvnt_test_pty STATIC
  ${PROJECT_SOURCE_DIR}/tests/support/pty.cpp
)
target_include_directories(drvnt_test_pty PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(drvnt_test_pty PUBLIC util)

add_executable(test_comm_port
  ${CMAKE_CURRENT_LIST_DIR}/comm_port_driver_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm_port_path_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/comm_port_pty_test.cpp
)
target_link_libraries(test_comm_port PRIVATE drvnt_receiver drvnt_test_pty drvnt_test_support_qt)
gtest_discover_tests(test_comm_port)
