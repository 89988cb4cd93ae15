// The display copy of a WHOIS answer: bounded, no lone line feeds, no split CR LF pairs.
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "monitor/whois_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string answer(reinterpret_cast<const char*>(data), size);
  std::string shown = qxfw::monitor::WhoisDisplayText(answer);
  FUZZ_CHECK(shown.size() < qxfw::monitor::CWhoisClient::kAnswerBufferSize);
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\n') FUZZ_CHECK(i > 0 && shown[i - 1] == '\r');
  }
  return 0;
}
