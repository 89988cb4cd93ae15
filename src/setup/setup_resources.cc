#include "setup/setup_resources.h"

#include "setup/embedded_resources.inc"

namespace qxfw::setup {
namespace {

class CEmbeddedResources : public CSetupResources {
 public:
  std::optional<std::string_view> Find(int id) const override {
    for (const EmbeddedResource& r : kEmbeddedResources) {
      if (r.id == id) return std::string_view(r.begin, static_cast<size_t>(r.end - r.begin));
    }
    return std::nullopt;
  }
};

}  // namespace

const CSetupResources& EmbeddedResources() {
  static const CEmbeddedResources resources;
  return resources;
}

}  // namespace qxfw::setup
