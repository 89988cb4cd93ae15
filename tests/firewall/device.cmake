qxfw_add_test(NAME device_frame_test LABEL unit
  SOURCES device_frame_test.cc
  LIBS qxfw_device_protocol)
