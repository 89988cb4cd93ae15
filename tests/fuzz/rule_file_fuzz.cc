// The rule store over a damaged rule file and journal. The input is plaintext (the target
// encrypts it) so the fuzzer reaches the record code rather than the header check; the first
// two bytes say where the rule file ends and the journal begins.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "store/db_manager.h"
#include "test_support/memory_file.h"

namespace {

using qxfw::store::CDBManager;

std::string Encrypt(const std::string& plain) {
  qxfw::store::CRijndael cipher;
  const char chain[16] = {};
  cipher.MakeKey(qxfw::store::kRuleFileKey, chain, 16, 16);
  std::string out = plain;
  size_t whole = plain.size() / 16 * 16;
  if (whole > 0) cipher.Encrypt(plain.data(), out.data(), whole, qxfw::store::CRijndael::ECB);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t split = (static_cast<size_t>(data[0]) << 8 | data[1]) * 16;
  std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  if (split > rest.size()) split = rest.size();
  auto rules = std::make_unique<qxfw::test_support::MemoryFile>(Encrypt(rest.substr(0, split)));
  auto journal = std::make_unique<qxfw::test_support::MemoryFile>(Encrypt(rest.substr(split)));
  CDBManager db(std::move(rules), std::move(journal));

  uint32_t level = db.GetSecurityLevel();
  FUZZ_CHECK(level >= 1 && level <= 4);
  size_t programs = 0;
  db.Select(CDBManager::kSelectRuleFile);
  qxfw::store::tagFIREWALL_PROGRAM p;
  qxfw::store::tagPOLICY_TABLE table;
  while (db.Select(CDBManager::kSelectProgram)) {
    FUZZ_CHECK(db.GetProgram(&p) == 1);
    ++programs;
    if (p.action == 2) db.GetPolicy(&table, static_cast<uint32_t>(p.policySlot));
    FUZZ_CHECK(programs <= db.Cache().LoadedCount());
  }
  db.Select(CDBManager::kSelectJournal);
  qxfw::store::tagFIREWALL_PORTIP r;
  for (int i = 0; i < 10000 && db.Select(CDBManager::kSelectPortIp); ++i) db.GetPortIp(&r);
  db.Select(CDBManager::kSelectRuleFile);

  // A change on top of whatever was there must read back.
  qxfw::store::tagFIREWALL_PROGRAM added{};
  added.action = 1;
  std::strcpy(added.path, "/fuzz/added/program");
  if (db.AddProgram(added, nullptr) != 0) {
    bool found = false;
    db.Select(CDBManager::kSelectRuleFile);
    while (db.Select(CDBManager::kSelectProgram) && db.GetProgram(&p)) {
      found = found || std::strcmp(p.path, added.path) == 0;
    }
    FUZZ_CHECK(found);
    FUZZ_CHECK(db.DeleteProgram(added) != 0);
  }
  return 0;
}
