# INI files, the registry store and the Linux facts behind its read-only keys.
target_sources(qxfw_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ini_file.cc
  ${CMAKE_CURRENT_LIST_DIR}/linux_facts.cc
  ${CMAKE_CURRENT_LIST_DIR}/registry_hive.cc
  ${CMAKE_CURRENT_LIST_DIR}/registry_store.cc
)
