// The update server's answer as received: decoding is bounded, and an accepted record has
// words that are safe in the INI file and in addresses, and an http(s) base.
#include <strings.h>

#include <cstdint>
#include <string>

#include "avlib/update_exchange.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string letters(reinterpret_cast<const char*>(data), size);
  std::string plain = qxfw::avlib::DecodeExchange(letters);
  FUZZ_CHECK(plain.size() <= letters.size() / 2);
  for (const std::string& text : {plain, letters}) {
    qxfw::avlib::ServerAnswer answer;
    if (qxfw::avlib::ParseServerAnswer(text, &answer) != qxfw::avlib::AnswerKind::kAnswer) continue;
    for (const std::string* word : {&answer.high, &answer.low}) {
      FUZZ_CHECK(!word->empty() && word->size() <= qxfw::avlib::kMaxVersionWord);
      FUZZ_CHECK(word->find_first_of(";]/\\\r\n") == std::string::npos);
    }
    FUZZ_CHECK(strncasecmp(answer.base.c_str(), "http://", 7) == 0 ||
               strncasecmp(answer.base.c_str(), "https://", 8) == 0);
  }
  // Encoding round-trips every byte string.
  FUZZ_CHECK(qxfw::avlib::DecodeExchange(qxfw::avlib::EncodeExchange(letters)) == letters);
  return 0;
}
