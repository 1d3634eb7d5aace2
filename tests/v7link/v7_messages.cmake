# test_v7_messages: the V7 message layouts, the 555-byte framing and what a server message asks
add_executable(test_v7_messages
  ${CMAKE_CURRENT_LIST_DIR}/server_message_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/v7_messages_test.cpp
)
target_link_libraries(test_v7_messages PRIVATE drvnt_v7link GTest::gtest_main)
gtest_discover_tests(test_v7_messages)
