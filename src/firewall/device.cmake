# The device protocol shared by the program and the filter daemon: frames and the client end.
add_library(qxfw_device_protocol STATIC
  ${CMAKE_CURRENT_LIST_DIR}/device_client.cc
  ${CMAKE_CURRENT_LIST_DIR}/device_frame.cc
)
target_include_directories(qxfw_device_protocol PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qxfw_device_protocol PUBLIC qxfw_platform)
