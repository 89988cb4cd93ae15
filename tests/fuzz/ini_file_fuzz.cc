// The INI reader over arbitrary file contents, through every read the program makes: whole
// sections into bounded buffers (the translation table), strings, numbers, section names.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/qxfw-ini-fuzz-" + std::to_string(getpid()) + ".ini";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  qxfw::platform::IniFile ini(path);
  for (const std::string& section : ini.GetSectionNames()) {
    for (uint32_t capacity : {0u, 1u, 2u, 17u, 853u, 27264u}) {
      std::vector<char> buffer(capacity + 8, '\x7f');
      uint32_t n = ini.GetSection(section, buffer.data(), capacity);
      FUZZ_CHECK(capacity == 0 || n < capacity);
      for (uint32_t i = capacity; i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == '\x7f');
    }
    ini.GetString(section, "Language", "none");
    ini.GetInt(section, "Column1", 42);
  }
  char small[4];
  uint32_t n = ini.GetString("Firewall", "Language", "default", small, sizeof(small));
  FUZZ_CHECK(n < sizeof(small));
  std::remove(path.c_str());
  return 0;
}
