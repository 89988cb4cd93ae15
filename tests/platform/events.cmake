qxfw_add_test(NAME named_event_test LABEL unit
  SOURCES named_event_test.cc
  LIBS qxfw_platform)
