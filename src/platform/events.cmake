# Named events between processes (abstract Unix sockets) and unnamed ones (eventfd).
target_sources(qxfw_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/named_event.cc
)
