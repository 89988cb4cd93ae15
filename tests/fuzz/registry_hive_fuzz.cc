// The hive text parser: whatever it accepts must write back to a text that parses to the same
// hive (the writer and the reader agree on escaping).
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/registry_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  qxfw::platform::HiveKey root;
  if (!qxfw::platform::ParseHive(text, &root, "fuzz")) return 0;
  std::string once = qxfw::platform::SerializeHive(root);
  qxfw::platform::HiveKey again;
  FUZZ_CHECK(qxfw::platform::ParseHive(once, &again, "fuzz"));
  FUZZ_CHECK(qxfw::platform::SerializeHive(again) == once);
  return 0;
}
