qxfw_add_bench(NAME rijndael_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rijndael_bench.cc
  LIBS qxfw_cipher OpenSSL::Crypto)
