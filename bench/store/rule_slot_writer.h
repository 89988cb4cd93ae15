// Writes a rule data file straight from slots, so benchmarks can start from 10,000 rules in
// seconds instead of adding them one by one. Programs come first (paths
// "/usr/lib/vendor/application-NNNNNN/bin/program", actions alternating block and allow), then
// IP/port rules allowing TCP port N for slot N. Used by the benchmark drivers only.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "store/rijndael.h"
#include "store/rule_file_format.h"
#include "store/rule_records.h"

namespace qxfw::store {

inline void WriteSlots(const std::string& path, uint32_t programs, uint32_t portRules) {
  CRijndael cipher;
  const char chain[16] = {};
  cipher.MakeKey(kRuleFileKey, chain, 16, 16);
  std::string plain;
  tagFILE_HEADER header{};
  header.slot.kind = kKindHeader;
  header.slot.state = kStateLive;
  header.version = kFormatVersion;
  header.slotSize = kSlotSize;
  header.recordCounter = programs + portRules;
  std::memcpy(header.text, kHeaderText, sizeof(header.text));
  header.securityLevel = 3;
  plain.append(reinterpret_cast<const char*>(&header), sizeof(header));
  for (uint32_t n = 1; n <= programs + portRules; ++n) {
    tagSLOT slot{};
    slot.header = {n, n <= programs ? kKindProgram : kKindPortIp, kStateLive, kOpRuleFile, {}};
    if (n <= programs) {
      tagFIREWALL_PROGRAM p{};
      p.action = static_cast<int16_t>(n % 2);
      std::snprintf(p.path, sizeof(p.path), "/usr/lib/vendor/application-%06u/bin/program", n);
      std::memcpy(slot.payload, &p, sizeof(p));
    } else {
      tagFIREWALL_PORTIP r{};
      r.action = 1;
      r.beginPort = r.endPort = static_cast<uint16_t>(n);
      r.protocol = kProtocolTcp;
      std::memcpy(slot.payload, &r, sizeof(r));
    }
    plain.append(reinterpret_cast<const char*>(&slot), sizeof(slot));
  }
  std::string cipherText(plain.size(), '\0');
  cipher.Encrypt(plain.data(), cipherText.data(), plain.size(), CRijndael::ECB);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(cipherText.data(), 1, cipherText.size(), f);
  std::fclose(f);
}

}  // namespace qxfw::store
