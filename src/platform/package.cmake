# dpkg database reader and the signature service built on it.
target_sources(qxfw_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/package_db.cc
  ${CMAKE_CURRENT_LIST_DIR}/signature_service.cc
)
target_link_libraries(qxfw_platform PUBLIC OpenSSL::Crypto)
