// The trusted-path list: full program paths that the Low security level lets through without
// a prompt. Start-up fills it from the command line (option "p"); the decision asks it.
//
// At most 255 paths are kept; later ones are refused. Paths compare ignoring ASCII case, as
// rule paths do. Filled before the first request and read on the user-interface thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qxfw::firewall {

class CTrustedPathList {
 public:
  static constexpr size_t kMaxPaths = 255;

  // False (nothing kept) for an empty path, a path that is not absolute, or a full list.
  bool Add(const std::string& path);
  void Clear() { paths_.clear(); }
  bool Contains(const std::string& path) const;
  size_t Count() const { return paths_.size(); }

  // The process-wide list of the program.
  static CTrustedPathList& Instance();

 private:
  std::vector<std::string> paths_;
};

}  // namespace qxfw::firewall
