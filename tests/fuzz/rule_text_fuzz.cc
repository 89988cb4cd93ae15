// Rule lists as the start-up options and qxfwctl give them: all or nothing, at most 50 items,
// texts always terminated inside their fields.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "store/rule_records.h"
#include "store/rule_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<qxfw::store::tagFIREWALL_PROGRAM> programs;
  if (qxfw::store::ParseProgramList(text, &programs)) {
    FUZZ_CHECK(programs.size() <= qxfw::store::kMaxRuleItems);
    for (auto& p : programs) {
      FUZZ_CHECK(strnlen(p.path, sizeof(p.path)) <= qxfw::store::kProgramPathLimit);
      qxfw::store::IsValidProgram(p);
    }
  } else {
    FUZZ_CHECK(programs.empty());
  }
  std::vector<qxfw::store::tagFIREWALL_PORTIP> rules;
  if (qxfw::store::ParsePortIpList(text, &rules)) {
    FUZZ_CHECK(rules.size() <= qxfw::store::kMaxRuleItems);
    for (const auto& r : rules) {
      FUZZ_CHECK(strnlen(r.description, sizeof(r.description)) < sizeof(r.description));
      qxfw::store::IsValidPortIp(r);
    }
  } else {
    FUZZ_CHECK(rules.empty());
  }
  return 0;
}
