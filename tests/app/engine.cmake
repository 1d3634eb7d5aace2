# test_settings: settings, INI file and error log, without components
add_executable(test_settings
  ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/error_log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/repeated_line_filter_test.cpp
)
target_link_libraries(test_settings PRIVATE drvnt_app_base drvnt_test_support GTest::gtest_main)
gtest_discover_tests(test_settings)

# test_engine: the engine's handlers on the real Qt event loop, with a pseudo-terminal for the
# serial port, loopback servers and a fake clock
add_executable(test_engine
  ${CMAKE_CURRENT_LIST_DIR}/engine_acknowledgement_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_ports_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_receiver_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_service_timer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_shutdown_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_spool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_startup_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/engine_v7_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/v8link/v8_test_server.cpp
)
target_link_libraries(test_engine PRIVATE drvnt_app drvnt_test_support_qt util)
gtest_discover_tests(test_engine)
