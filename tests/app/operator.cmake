# test_operator_models: glyph pixels, message-window geometry, the password check and the port-box
# model, all without a display.
add_executable(test_operator_models
  ${CMAKE_CURRENT_LIST_DIR}/operator_models_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_manager_test.cpp
)
target_link_libraries(test_operator_models PRIVATE drvnt_app_ui_models GTest::gtest_main)
gtest_discover_tests(test_operator_models)
