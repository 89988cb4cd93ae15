# qxfw_cipher: CRijndael, the rule store's block cipher. Only rijndael_aesni.cc is built for the
# AES instructions; the choice is made at run time.
add_library(qxfw_cipher STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rijndael.cc
  ${CMAKE_CURRENT_LIST_DIR}/rijndael_aesni.cc
  ${CMAKE_CURRENT_LIST_DIR}/rijndael_portable.cc
  ${CMAKE_CURRENT_LIST_DIR}/rijndael_tables.cc
)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/rijndael_aesni.cc
  PROPERTIES COMPILE_OPTIONS "-maes;-msse4.1")
target_include_directories(qxfw_cipher PUBLIC ${PROJECT_SOURCE_DIR}/src)
