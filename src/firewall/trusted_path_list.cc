#include "firewall/trusted_path_list.h"

#include "platform/text_compare.h"

namespace qxfw::firewall {

bool CTrustedPathList::Add(const std::string& path) {
  if (path.empty() || path[0] != '/' || paths_.size() >= kMaxPaths) return false;
  if (!Contains(path)) paths_.push_back(path);
  return true;
}

bool CTrustedPathList::Contains(const std::string& path) const {
  if (path.empty()) return false;
  for (const auto& known : paths_) {
    if (platform::EqualNoCase(known, path)) return true;
  }
  return false;
}

CTrustedPathList& CTrustedPathList::Instance() {
  static CTrustedPathList list;
  return list;
}

}  // namespace qxfw::firewall
