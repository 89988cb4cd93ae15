// The page cabinet that the build packs from src/pages and links into the program.
#include "platform/folders.h"
#include "shell/page_cabinet.h"

// Bounds of the cabinet bytes, from page_cabinet_data.S.
extern "C" const unsigned char qxfw_page_cabinet_start[];
extern "C" const unsigned char qxfw_page_cabinet_end[];

namespace qxfw::shell {

const unsigned char* CPageCabinet::LinkedData() {
  return qxfw_page_cabinet_start;
}

size_t CPageCabinet::LinkedSize() {
  return static_cast<size_t>(qxfw_page_cabinet_end - qxfw_page_cabinet_start);
}

std::string ExtractCabs() {
  return ExtractCabs(CPageCabinet::LinkedData(), CPageCabinet::LinkedSize(),
                     platform::FirewallDataFolder());
}

}  // namespace qxfw::shell
