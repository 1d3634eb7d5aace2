# test_receiver: frame decoding, event records and spool files
add_executable(test_receiver
  ${CMAKE_CURRENT_LIST_DIR}/event_record_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_decoder_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/spool_writer_test.cpp
)
target_link_libraries(test_receiver PRIVATE drvnt_receiver drvnt_test_support GTest::gtest_main)
gtest_discover_tests(test_receiver)
