#include "virus_type.h"

#include <algorithm>
#include <cctype>

namespace qxfw::dvengine {

int VirusTypeOf(const std::string& detectionName) {
  std::string name = detectionName;
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  auto has = [&](const char* word) { return name.find(word) != std::string::npos; };
  // Test signatures keep the virus class whatever their names say.
  if (has("eicar")) return 1;
  if (has("hacktool") || has("hacking") || has("exploit-kit")) return 9;
  if (has("adware")) return 5;
  if (has("spyware")) return 6;
  if (has("riskware") || has("tool.")) return 7;
  if (name.rfind("pua.", 0) == 0 || has(".pua.")) return 8;
  return 1;
}

}  // namespace qxfw::dvengine
