qxfw_add_test(NAME signature_service_test LABEL unit
  SOURCES signature_service_test.cc
  LIBS qxfw_platform)
