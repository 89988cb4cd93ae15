# Named events between processes (Unix sockets in guarded folders), unnamed ones (eventfd), and
# the bounded spin for answers about to come.
target_sources(qxfw_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/event_folder.cc
  ${CMAKE_CURRENT_LIST_DIR}/named_event.cc
  ${CMAKE_CURRENT_LIST_DIR}/spin_wait.cc
)
