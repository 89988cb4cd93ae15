qxfw_add_test(NAME named_event_test LABEL unit
  SOURCES named_event_test.cc
  LIBS qxfw_platform)

qxfw_add_test(NAME spin_wait_test LABEL unit
  SOURCES spin_wait_test.cc
  LIBS qxfw_platform)

qxfw_add_test(NAME named_event_users_test LABEL integration
  SOURCES named_event_users_test.cc
  LIBS qxfw_platform)
