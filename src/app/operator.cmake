# The operator interface's pure parts: glyph pixels, message-window geometry, the password check
# and the port-box model. Standard library only, so that the engine and its tests need no display.
add_library(drvnt_app_ui_models STATIC
  ${CMAKE_CURRENT_LIST_DIR}/access_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/glyph.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_geometry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_manager.cpp
)
target_include_directories(drvnt_app_ui_models PUBLIC ${PROJECT_SOURCE_DIR}/src)
