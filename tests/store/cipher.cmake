qxfw_add_test(NAME rijndael_test LABEL unit
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rijndael_test.cc
  LIBS qxfw_cipher OpenSSL::Crypto)
