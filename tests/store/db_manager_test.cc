#include "store/db_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "platform/debug_output.h"
#include "platform/last_error.h"
#include "store/reference_slots.h"
#include "test_support/memory_file.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

namespace ref = reference;

constexpr char kHeaderLine[] =
    "[Firewall] DBManager: Header Record not existed or corrupted. Truncating the DB";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

tagFIREWALL_PROGRAM Program(int16_t action, const char* path) {
  tagFIREWALL_PROGRAM p{};
  p.action = action;
  std::strncpy(p.path, path, sizeof(p.path) - 1);
  return p;
}

tagFIREWALL_PORTIP Port(int16_t action, uint16_t begin, uint16_t end, uint16_t protocol) {
  tagFIREWALL_PORTIP r{};
  r.action = action;
  r.beginPort = begin;
  r.endPort = end;
  r.protocol = protocol;
  r.portType = 1;
  std::strcpy(r.description, "test");
  return r;
}

tagPOLICY_TABLE Table(uint16_t port) {
  tagPOLICY_TABLE t{};
  t.count = 1;
  t.entries[0].action = 1;
  t.entries[0].beginPort = port;
  t.entries[0].endPort = port;
  t.entries[0].protocol = 1;
  return t;
}

std::vector<std::string> ProgramPaths(CDBManager& db) {
  std::vector<std::string> paths;
  db.Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PROGRAM p;
  while (db.Select(CDBManager::kSelectProgram)) {
    EXPECT_EQ(db.GetProgram(&p), 1);
    paths.push_back(p.path);
  }
  return paths;
}

struct JournalEntry {
  uint32_t sequence, op;
  tagFIREWALL_PROGRAM program;
};

std::vector<JournalEntry> JournalPrograms(CDBManager& db) {
  std::vector<JournalEntry> out;
  db.Select(CDBManager::kSelectJournal);
  while (db.Select(CDBManager::kSelectProgram)) {
    JournalEntry e{};
    e.sequence = db.GetJournalSequence();
    e.op = db.GetJournalOp();
    EXPECT_EQ(db.GetProgram(&e.program), 1);
    out.push_back(e);
  }
  db.Select(CDBManager::kSelectRuleFile);
  return out;
}

// Adds a policy program as the only journalled entry and reads its table back in journal mode:
// a journal whose numbering drifted from its entries fails here.
void AddPolicyProgramReadableFromJournal(CDBManager& db) {
  tagPOLICY_TABLE table = Table(443);
  tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/app");
  ASSERT_NE(db.AddProgram(p, &table), 0);
  auto journalled = JournalPrograms(db);
  ASSERT_EQ(journalled.size(), 1u);
  db.Select(CDBManager::kSelectJournal);
  tagPOLICY_TABLE fromJournal{};
  ASSERT_EQ(db.GetPolicy(&fromJournal, static_cast<uint32_t>(journalled[0].program.policySlot)), 1);
  EXPECT_EQ(fromJournal.entries[0].beginPort, 443);
}

class DBManagerTest : public ::testing::Test {
 protected:
  std::string RulePath() const { return dir_.path() + "/QLFW.dat"; }
  std::string JournalPath() const { return dir_.path() + "/QLFW.log"; }
  test_support::TempDir dir_;
};

TEST_F(DBManagerTest, NewFilesGetOneHeaderSlotEach) {
  platform::ScopedDebugCapture capture;
  {
    CDBManager db(dir_.path());
    ASSERT_TRUE(db.IsRuleFileOpen());
    EXPECT_EQ(db.GetSecurityLevel(), 3u);
  }
  EXPECT_TRUE(capture.Contains(kHeaderLine));
  for (const std::string& path : {RulePath(), JournalPath()}) {
    std::string bytes = ReadFile(path);
    ASSERT_EQ(bytes.size(), 816u) << path;
    ref::Slot header = ref::Decrypt(bytes)[0];
    ref::Slot expected = ref::MakeHeader(0, 3);
    // Everything but the creation time (bytes 16-31) is fixed.
    EXPECT_EQ(header.bytes.substr(0, 16), expected.bytes.substr(0, 16));
    EXPECT_EQ(header.bytes.substr(32), expected.bytes.substr(32));
    EXPECT_GE(header.GetU16(16), 2024);
  }
}

TEST_F(DBManagerTest, WrittenFileMatchesHandBuiltSlots) {
  {
    CDBManager db(dir_.path());
    tagPOLICY_TABLE table = Table(443);
    tagFIREWALL_PROGRAM browser = Program(2, "/usr/bin/browser");
    ASSERT_EQ(db.AddProgram(browser, &table), 2);
    EXPECT_EQ(browser.policySlot, 1);
    tagFIREWALL_PORTIP rule = Port(0, 135, 139, 1);
    ASSERT_EQ(db.AddPortIp(rule), 3);
  }
  std::vector<ref::Slot> expected;
  expected.push_back(ref::MakeHeader(3, 3));
  ref::Slot table = ref::MakeSlot(1, 32, 1, 1);
  table.U32(32, 1).U16(36, 1).U16(48, 443).U16(50, 443).U16(52, 1);
  expected.push_back(table);
  ref::Slot program = ref::MakeSlot(2, 2, 1, 1);
  ref::Program(program, 2, 1, "/usr/bin/browser");
  expected.push_back(program);
  ref::Slot port = ref::MakeSlot(3, 4, 1, 1);
  port.U16(32, 0).U16(34, 135).U16(36, 139).U16(48, 1).Text(50, "test").U16(306, 1);
  expected.push_back(port);

  std::string file = ReadFile(RulePath());
  ASSERT_EQ(file.size(), 4 * 816u);
  std::string want = ref::Encrypt(expected);
  for (size_t slot = 0; slot < 4; ++slot) {
    for (size_t block = 0; block < 51; ++block) {
      if (block == 1) continue;  // the time of the operation
      size_t at = slot * 816 + block * 16;
      EXPECT_EQ(file.substr(at, 16), want.substr(at, 16)) << "slot " << slot << " block " << block;
    }
  }

  // The journal: header counting three entries, then the table, the program (naming the
  // table's journal entry) and the IP/port rule, each with operation 2.
  std::vector<ref::Slot> journal = ref::Decrypt(ReadFile(JournalPath()));
  ASSERT_EQ(journal.size(), 4u);
  EXPECT_EQ(journal[0].GetU32(40), 3u);
  for (uint32_t i = 1; i <= 3; ++i) {
    EXPECT_EQ(journal[i].GetU32(0), i);
    EXPECT_EQ(journal[i].GetU32(12), 2u);
    EXPECT_EQ(journal[i].bytes.substr(32), expected[i].bytes.substr(32))
        << "payload of journal entry " << i;
  }
}

TEST_F(DBManagerTest, ReadsHandBuiltFile) {
  ref::Slot table = ref::MakeSlot(3, 32, 1, 1);
  table.U32(32, 1).U16(36, 0).U32(40, 0x0A000001).U32(44, 0x0A0000FF);
  ref::Slot policyProgram = ref::MakeSlot(1, 2, 1, 1);
  ref::Program(policyProgram, 2, 3, "/opt/app/run");
  ref::Slot deleted = ref::MakeSlot(2, 2, 8, 1);
  ref::Program(deleted, 1, 0, "/usr/bin/gone");
  ref::Slot port = ref::MakeSlot(4, 4, 1, 1);
  port.U16(32, 1).U32(40, 0x01010101).U32(44, 0x01010102).U16(48, 4).U16(306, 4);
  WriteFile(RulePath(), ref::Encrypt({ref::MakeHeader(3, 4), policyProgram, deleted, table, port}));
  WriteFile(JournalPath(), ref::Encrypt({ref::MakeHeader(0, 3)}));

  CDBManager db(dir_.path());
  EXPECT_EQ(db.GetSecurityLevel(), 4u);
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/opt/app/run"});
  tagPOLICY_TABLE t{};
  ASSERT_EQ(db.GetPolicy(&t, 3), 1);
  EXPECT_EQ(t.count, 1u);
  EXPECT_EQ(t.entries[0].endIp, 0x0A0000FFu);
  EXPECT_EQ(db.GetPolicy(&t, 1), 0);  // a program slot, not a table
  EXPECT_EQ(db.GetPolicy(&t, 99), 0);
  db.Select(CDBManager::kSelectRuleFile);
  ASSERT_EQ(db.Select(CDBManager::kSelectPortIp), 1);
  tagFIREWALL_PORTIP r{};
  ASSERT_EQ(db.GetPortIp(&r), 1);
  EXPECT_EQ(r.beginIp, 0x01010101u);
  EXPECT_EQ(db.Select(CDBManager::kSelectPortIp), 0);
  // The deleted slot is reused by the next add.
  tagFIREWALL_PROGRAM added = Program(1, "/usr/bin/new");
  EXPECT_EQ(db.AddProgram(added, nullptr), 2);
}

TEST_F(DBManagerTest, RulesSurviveReopenAndFilesAreExclusive) {
  {
    CDBManager db(dir_.path());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    ASSERT_EQ(db.AddProgram(p, nullptr), 1);
    CDBManager second(dir_.path());
    EXPECT_FALSE(second.IsRuleFileOpen());
    EXPECT_EQ(second.RuleFileOpenError(), EWOULDBLOCK);
    tagFIREWALL_PROGRAM other = Program(1, "/usr/bin/b");
    platform::ScopedDebugCapture capture;
    EXPECT_EQ(second.AddProgram(other, nullptr), 0);
    EXPECT_TRUE(capture.Contains("DBManager:: File handle is INVALID"));
    EXPECT_EQ(second.GetSecurityLevel(), 3u);
    EXPECT_TRUE(ProgramPaths(second).empty());
    ASSERT_EQ(db.SetSecurityLevel(2), 1);
  }
  CDBManager db(dir_.path());
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
  EXPECT_EQ(db.GetSecurityLevel(), 2u);
}

TEST_F(DBManagerTest, CorruptOrForeignHeaderIsSetAsideNotTruncated) {
  {
    CDBManager db(dir_.path());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    ASSERT_EQ(db.AddProgram(p, nullptr), 1);
  }
  // Change one byte of the header text, re-encrypted properly: the text test must catch it.
  std::vector<ref::Slot> slots = ref::Decrypt(ReadFile(RulePath()));
  slots[0].bytes[60] ^= 0x20;
  const std::string damaged = ref::Encrypt(slots);
  WriteFile(RulePath(), damaged);
  {
    CDBManager db(dir_.path());
    EXPECT_TRUE(db.Damage().ruleHeader);
    EXPECT_TRUE(db.Damage().repaired);
    EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
  }
  EXPECT_EQ(ReadFile(RulePath()).size(), 2 * 816u);
  EXPECT_EQ(ReadFile(RulePath() + ".bad"), damaged);

  // A foreign file: random bytes, not a multiple of the slot size. Nothing in it looks like a
  // slot, so the repaired file keeps only its new header; the earlier copy is not overwritten.
  std::string junk(5000, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7919 % 251);
  WriteFile(RulePath(), junk);
  {
    CDBManager db(dir_.path());
    EXPECT_TRUE(db.Damage().ruleHeader);
    EXPECT_TRUE(ProgramPaths(db).empty());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    EXPECT_EQ(db.AddProgram(p, nullptr), 1);
  }
  EXPECT_EQ(ReadFile(RulePath()).size(), 2 * 816u);
  EXPECT_EQ(ReadFile(RulePath() + ".bad"), damaged);
  EXPECT_EQ(ReadFile(RulePath() + ".bad.2"), junk);
}

TEST_F(DBManagerTest, PartialLastSlotReadsAsZeroPadded) {
  {
    CDBManager db(dir_.path());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    ASSERT_EQ(db.AddProgram(p, nullptr), 1);
  }
  std::string bytes = ReadFile(RulePath());
  WriteFile(RulePath(), bytes + std::string(100, '\x55'));
  CDBManager db(dir_.path());
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
  EXPECT_EQ(db.Cache().LoadedCount(), 3u);
  EXPECT_GE(db.Cache().Capacity(), 3u);
  // The partial slot is not live, so the next record takes its place, whole.
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/b");
  EXPECT_EQ(db.AddProgram(p, nullptr), 2);
  EXPECT_EQ(ReadFile(RulePath()).size(), 3 * 816u);
}

TEST_F(DBManagerTest, SlotReuseAndKeys) {
  CDBManager db(dir_.path());
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  ASSERT_EQ(db.AddProgram(a, nullptr), 1);
  tagFIREWALL_PROGRAM sameKey = Program(0, "/USR/BIN/A");
  EXPECT_EQ(db.AddProgram(sameKey, nullptr), 0);
  ASSERT_EQ(db.DeleteProgram(sameKey), 1);
  EXPECT_EQ(db.DeleteProgram(sameKey), 0);
  tagFIREWALL_PROGRAM b = Program(1, "/usr/bin/b");
  EXPECT_EQ(db.AddProgram(b, nullptr), 1);

  tagFIREWALL_PORTIP allow = Port(1, 80, 80, 1);
  tagFIREWALL_PORTIP block = Port(0, 80, 80, 1);
  EXPECT_EQ(db.AddPortIp(allow), 2);
  EXPECT_EQ(db.AddPortIp(block), 0);
  tagFIREWALL_PORTIP invalid = Port(1, 90, 80, 1);
  EXPECT_EQ(db.AddPortIp(invalid), 0);
  // Modify to the key of another rule fails; to a free key works in place of the old.
  tagFIREWALL_PORTIP other = Port(1, 443, 443, 1);
  ASSERT_EQ(db.AddPortIp(other), 3);
  tagFIREWALL_PORTIP moved = Port(1, 443, 443, 1);
  EXPECT_EQ(db.ModifyPortIp(allow, moved), 0);
  moved = Port(0, 8080, 8080, 1);
  EXPECT_EQ(db.ModifyPortIp(allow, moved), 2);
  db.Select(CDBManager::kSelectRuleFile);
  std::vector<int> ports;
  tagFIREWALL_PORTIP r;
  while (db.Select(CDBManager::kSelectPortIp) && db.GetPortIp(&r)) ports.push_back(r.beginPort);
  EXPECT_EQ(ports, (std::vector<int>{8080, 443}));
}

TEST_F(DBManagerTest, PolicyProgramsAndTheirJournal) {
  CDBManager db(dir_.path());
  tagPOLICY_TABLE table = Table(443);
  tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/app");
  EXPECT_EQ(db.AddProgram(p, nullptr), 0);  // action 2 needs a table
  ASSERT_EQ(db.AddProgram(p, &table), 2);
  ASSERT_EQ(p.policySlot, 1);

  auto journal = JournalPrograms(db);
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].sequence, 2u);
  EXPECT_EQ(journal[0].op, 2u);
  EXPECT_EQ(journal[0].program.policySlot, 1);  // the table's journal entry
  db.Select(CDBManager::kSelectJournal);
  tagPOLICY_TABLE fromJournal{};
  EXPECT_EQ(db.GetPolicy(&fromJournal, 1), 1);
  EXPECT_EQ(fromJournal.entries[0].beginPort, 443);
  db.Select(CDBManager::kSelectRuleFile);

  // Modify to another table: four entries with operation 4.
  tagPOLICY_TABLE table2 = Table(8443);
  tagFIREWALL_PROGRAM p2 = Program(2, "/usr/bin/app");
  ASSERT_NE(db.ModifyProgram(p, p2, &table2), 0);
  std::vector<ref::Slot> entries = ref::Decrypt(ReadFile(JournalPath()));
  ASSERT_EQ(entries.size(), 7u);
  for (size_t i = 3; i < 7; ++i) EXPECT_EQ(entries[i].GetU32(12), 4u) << i;
  EXPECT_EQ(entries[3].GetU32(4), 32u);  // old table
  EXPECT_EQ(entries[3].GetU32(8), 8u);
  EXPECT_EQ(entries[4].GetU32(4), 2u);  // old program, naming the old table's entry
  EXPECT_EQ(entries[4].GetU32(36), 3u);
  EXPECT_EQ(entries[5].GetU32(4), 32u);  // new table
  EXPECT_EQ(entries[6].GetU32(4), 2u);   // new program
  EXPECT_EQ(entries[6].GetU32(36), 5u);

  tagPOLICY_TABLE stored{};
  ASSERT_EQ(db.GetPolicy(&stored, static_cast<uint32_t>(p2.policySlot)), 1);
  EXPECT_EQ(stored.entries[0].beginPort, 8443);

  // Deleting marks both slots deleted and journals both with operation 3.
  ASSERT_NE(db.DeleteProgram(p2), 0);
  std::vector<ref::Slot> rules = ref::Decrypt(ReadFile(RulePath()));
  for (size_t i = 1; i < rules.size(); ++i) EXPECT_EQ(rules[i].GetU32(8), 8u) << i;
  EXPECT_EQ(rules[0].GetU32(40), 0u);  // no live records left
  entries = ref::Decrypt(ReadFile(JournalPath()));
  ASSERT_EQ(entries.size(), 9u);
  EXPECT_EQ(entries[7].GetU32(12), 3u);
  EXPECT_EQ(entries[8].GetU32(12), 3u);
  EXPECT_EQ(entries[8].GetU32(36), 7u);
}

TEST_F(DBManagerTest, ModifyWithoutTablesJournalsTwoEntries) {
  CDBManager db(dir_.path());
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  ASSERT_EQ(db.AddProgram(a, nullptr), 1);
  tagFIREWALL_PROGRAM b = Program(0, "/usr/bin/b");
  ASSERT_EQ(db.ModifyProgram(a, b, nullptr), 1);
  auto journal = JournalPrograms(db);
  ASSERT_EQ(journal.size(), 3u);
  EXPECT_EQ(journal[1].op, 4u);
  EXPECT_STREQ(journal[1].program.path, "/usr/bin/a");
  EXPECT_EQ(journal[2].op, 4u);
  EXPECT_STREQ(journal[2].program.path, "/usr/bin/b");
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/b"});
}

TEST_F(DBManagerTest, BadNewTableNeverLosesTheOldRule) {
  CDBManager db(dir_.path());
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  ASSERT_EQ(db.AddProgram(a, nullptr), 1);
  tagFIREWALL_PROGRAM toPolicy = Program(2, "/usr/bin/a");
  tagPOLICY_TABLE empty{};
  EXPECT_EQ(db.ModifyProgram(a, toPolicy, &empty), 0);
  EXPECT_EQ(db.ModifyProgram(a, toPolicy, nullptr), 0);
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
  EXPECT_EQ(JournalPrograms(db).size(), 1u);
}

TEST_F(DBManagerTest, SecurityLevel) {
  CDBManager db(dir_.path());
  std::string before = ReadFile(RulePath());
  EXPECT_EQ(db.SetSecurityLevel(5), 0);
  EXPECT_EQ(ReadFile(RulePath()), before);
  ASSERT_EQ(db.SetSecurityLevel(0), 1);
  EXPECT_EQ(db.GetSecurityLevel(), 3u);
  ASSERT_EQ(db.SetSecurityLevel(1), 1);
  EXPECT_EQ(db.GetSecurityLevel(), 1u);
  EXPECT_EQ(ref::Decrypt(ReadFile(RulePath()))[0].GetU32(108), 1u);
}

TEST_F(DBManagerTest, SelectAndGetContracts) {
  CDBManager db(dir_.path());
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  ASSERT_EQ(db.AddProgram(a, nullptr), 1);
  tagFIREWALL_PORTIP port = Port(1, 22, 22, 1);
  ASSERT_EQ(db.AddPortIp(port), 2);

  EXPECT_EQ(db.Select(CDBManager::kSelectRuleFile), 0);
  tagFIREWALL_PROGRAM out = Program(7, "untouched");
  EXPECT_EQ(db.GetProgram(&out), 0);  // no Select(1) yet
  EXPECT_STREQ(out.path, "untouched");
  ASSERT_EQ(db.Select(CDBManager::kSelectProgram), 1);
  tagFIREWALL_PORTIP wrongKind{};
  EXPECT_EQ(db.GetPortIp(&wrongKind), 0);
  EXPECT_EQ(db.Select(CDBManager::kSelectProgram), 0);
  EXPECT_EQ(db.Select(CDBManager::kSelectProgram), 1);  // the cursor went back to 0
  EXPECT_EQ(db.Select(42), 0);

  EXPECT_EQ(db.Select(CDBManager::kSelectJournal), 1);
  platform::SetLastError(0);
  EXPECT_EQ(db.GetProgram(&out), 0);
  EXPECT_EQ(platform::GetLastError(), 7u);
  EXPECT_EQ(out.path[0], '\0');
  ASSERT_EQ(db.Select(CDBManager::kSelectPortIp), 1);
  tagFIREWALL_PORTIP journalPort{};
  ASSERT_EQ(db.GetPortIp(&journalPort), 1);
  EXPECT_EQ(journalPort.beginPort, 22);
  EXPECT_EQ(db.GetJournalOp(), 2u);
  EXPECT_GE(db.GetJournalTime().wYear, 2024);
  EXPECT_EQ(db.Select(42), 1);
}

// Files that fail every write once a byte budget is spent.
std::unique_ptr<test_support::MemoryFile> FailingFile(size_t budget) {
  return std::make_unique<test_support::MemoryFile>(std::string(), budget);
}

TEST(DBManagerFaults, FailedWritesFailCleanly) {
  // Budget: both headers, then the counters of one add, then nothing.
  for (size_t budget : {816u * 2, 816u * 3, 816u * 4, 816u * 5}) {
    CDBManager db(FailingFile(budget), FailingFile(1u << 20));
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    int slot = db.AddProgram(p, nullptr);
    EXPECT_EQ(slot != 0, !ProgramPaths(db).empty()) << budget;
  }
  // A rule file that cannot even take its header.
  CDBManager broken(FailingFile(0), FailingFile(1u << 20));
  EXPECT_EQ(broken.GetSecurityLevel(), 3u);
  EXPECT_EQ(broken.SetSecurityLevel(2), 0);
}

TEST(DBManagerFaults, ModifyStepsThatFailSayWhich) {
  // Opening writes one header per file; after that the rule file may take `budget` more bytes.
  auto modifyWithBudget = [](size_t budget) {
    auto rules = FailingFile(816 + 816 + 16 + budget);
    CDBManager db(std::move(rules), FailingFile(1u << 20));
    tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
    EXPECT_EQ(db.AddProgram(a, nullptr), 1);  // slot and counter block: the 816 + 16 above
    tagFIREWALL_PROGRAM b = Program(0, "/usr/bin/b");
    platform::ScopedDebugCapture capture;
    int result = db.ModifyProgram(a, b, nullptr);
    return std::make_tuple(result, capture.Lines(), ProgramPaths(db));
  };
  // Nothing can be written: the write step fails and the old rule stays.
  auto [result, lines, paths] = modifyWithBudget(0);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(lines, std::vector<std::string>{"On CDBManager::ModifyData() Fail to Write"});
  EXPECT_EQ(paths, std::vector<std::string>{"/usr/bin/a"});
  // One slot is all a modify without tables writes to the rule file.
  std::tie(result, lines, paths) = modifyWithBudget(816);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(paths, std::vector<std::string>{"/usr/bin/b"});

  // An old record that is no longer where it was found: the delete step fails, nothing moves.
  CDBManager db(FailingFile(1u << 20), FailingFile(1u << 20));
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  ASSERT_EQ(db.AddProgram(a, nullptr), 1);
  tagFIREWALL_PROGRAM ghost = Program(1, "/usr/bin/ghost");
  tagFIREWALL_PROGRAM b = Program(0, "/usr/bin/b");
  platform::ScopedDebugCapture capture;
  EXPECT_EQ(db.ModifyProgram(ghost, b, nullptr), 0);
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
}

// Each live program's table, as GetPolicy gives it, by path; -1 when it cannot be read.
std::map<std::string, int> LiveTables(CDBManager& db) {
  std::map<std::string, int> tables;
  std::vector<tagFIREWALL_PROGRAM> programs;
  db.Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PROGRAM p;
  while (db.Select(CDBManager::kSelectProgram) && db.GetProgram(&p)) programs.push_back(p);
  for (const tagFIREWALL_PROGRAM& program : programs) {
    tagPOLICY_TABLE t{};
    bool ok = db.GetPolicy(&t, static_cast<uint32_t>(program.policySlot)) == 1;
    tables[program.path] = ok ? t.entries[0].beginPort : -1;
  }
  return tables;
}

// Live slots of each kind in the rule file's bytes, and the header's record counter.
std::map<uint32_t, uint32_t> LiveKinds(const std::string& file, uint32_t* counter) {
  std::map<uint32_t, uint32_t> kinds;
  std::vector<ref::Slot> slots = ref::Decrypt(file);
  *counter = slots.empty() ? 0 : slots[0].GetU32(40);
  for (size_t i = 1; i < slots.size(); ++i) {
    if (slots[i].GetU32(8) == 1) ++kinds[slots[i].GetU32(4)];
  }
  return kinds;
}

TEST(DBManagerFaults, FullJournalDiskNeverMisnumbersLaterEntries) {
  auto rules = std::make_unique<test_support::MemoryFile>();
  test_support::MemoryFile* rulesView = rules.get();
  auto journal = std::make_unique<test_support::MemoryFile>();
  test_support::MemoryFile* journalView = journal.get();
  CDBManager db(std::move(rules), std::move(journal));
  const std::string rulesBefore = rulesView->Bytes();
  journalView->SetWriteBudget(0);  // the disk fills up
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  // A change that cannot be journalled is not made.
  EXPECT_EQ(db.AddProgram(a, nullptr), 0);
  EXPECT_EQ(rulesView->Bytes(), rulesBefore);
  EXPECT_TRUE(ProgramPaths(db).empty());
  journalView->SetWriteBudget(SIZE_MAX);  // and is cleared again

  ASSERT_NO_FATAL_FAILURE(AddPolicyProgramReadableFromJournal(db));
  // The counter names the last entry.
  std::vector<ref::Slot> entries = ref::Decrypt(journalView->Bytes());
  EXPECT_EQ(entries[0].GetU32(40), entries.size() - 1);
}

TEST(DBManagerFaults, CrashBetweenRuleWriteAndJournalIsRepairedOnOpen) {
  std::string ruleBytes;
  std::string journalBytes;
  {
    auto rules = std::make_unique<test_support::MemoryFile>();
    auto journal = std::make_unique<test_support::MemoryFile>();
    test_support::MemoryFile* rulesView = rules.get();
    test_support::MemoryFile* journalView = journal.get();
    CDBManager db(std::move(rules), std::move(journal));
    tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
    ASSERT_EQ(db.AddProgram(a, nullptr), 1);
    ruleBytes = rulesView->Bytes();
    journalBytes = journalView->Bytes().substr(0, 816);
  }
  // What an interrupted change of an older build (rule file first) left: counters raised,
  // the journal entry missing.
  std::vector<ref::Slot> rules = ref::Decrypt(ruleBytes);
  std::vector<ref::Slot> journal = ref::Decrypt(journalBytes);
  rules[0].U32(40, 7);
  journal[0].U32(40, 5);
  ruleBytes = ref::Encrypt(rules);
  journalBytes = ref::Encrypt(journal);

  platform::ScopedDebugCapture capture;
  auto reopenedRules = std::make_unique<test_support::MemoryFile>(ruleBytes);
  test_support::MemoryFile* rulesView = reopenedRules.get();
  CDBManager db(std::move(reopenedRules), std::make_unique<test_support::MemoryFile>(journalBytes));
  std::vector<std::string> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("counter 5 of the journal repaired to 0"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("counter 7 of the rule file repaired to 1"), std::string::npos)
      << lines[1];
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});

  ASSERT_NO_FATAL_FAILURE(AddPolicyProgramReadableFromJournal(db));
  uint32_t counter = 0;
  auto kinds = LiveKinds(rulesView->Bytes(), &counter);
  EXPECT_EQ(counter, 3u);  // a, the app and its table
}

TEST(DBManagerFaults, FailedDeleteNeverSharesATableBetweenPrograms) {
  for (size_t budget = 0; budget <= 4 * 816; budget += 408) {
    auto rules = std::make_unique<test_support::MemoryFile>();
    test_support::MemoryFile* rulesView = rules.get();
    CDBManager db(std::move(rules), std::make_unique<test_support::MemoryFile>());
    tagPOLICY_TABLE first = Table(443);
    tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/first");
    ASSERT_NE(db.AddProgram(p, &first), 0);
    rulesView->SetWriteBudget(budget);
    db.DeleteProgram(p);
    rulesView->SetWriteBudget(SIZE_MAX);

    tagPOLICY_TABLE second = Table(8080);
    tagFIREWALL_PROGRAM q = Program(2, "/usr/bin/second");
    ASSERT_NE(db.AddProgram(q, &second), 0);
    std::map<std::string, int> tables = LiveTables(db);
    EXPECT_EQ(tables["/usr/bin/second"], 8080) << budget;
    if (tables.count("/usr/bin/first") != 0) {
      EXPECT_EQ(tables["/usr/bin/first"], 443) << budget;
    }
  }
}

TEST(DBManagerFaults, FailedModifyKeepsTheOldRuleAndLeavesNoTable) {
  for (size_t budget = 0; budget <= 5 * 816; budget += 408) {
    auto rules = std::make_unique<test_support::MemoryFile>();
    test_support::MemoryFile* rulesView = rules.get();
    CDBManager db(std::move(rules), std::make_unique<test_support::MemoryFile>());
    tagPOLICY_TABLE oldTable = Table(443);
    tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/app");
    ASSERT_NE(db.AddProgram(p, &oldTable), 0);
    tagPOLICY_TABLE newTable = Table(8443);
    tagFIREWALL_PROGRAM changed = Program(2, "/usr/bin/app");
    rulesView->SetWriteBudget(budget);
    int result = db.ModifyProgram(p, changed, &newTable);
    rulesView->SetWriteBudget(SIZE_MAX);

    std::map<std::string, int> tables = LiveTables(db);
    ASSERT_EQ(tables.size(), 1u) << budget;
    EXPECT_EQ(tables["/usr/bin/app"], result != 0 ? 8443 : 443) << budget;
    // A table whose rule could not be written is freed by the next open at the latest.
    auto again = std::make_unique<test_support::MemoryFile>(rulesView->Bytes());
    test_support::MemoryFile* againView = again.get();
    CDBManager reopened(std::move(again), std::make_unique<test_support::MemoryFile>());
    EXPECT_EQ(LiveTables(reopened), tables) << budget;
    uint32_t counter = 0;
    auto kinds = LiveKinds(againView->Bytes(), &counter);
    EXPECT_EQ(kinds[kKindPolicyTable], 1u) << "no orphan table, budget " << budget;
    EXPECT_EQ(counter, 2u) << budget;
  }
}

TEST_F(DBManagerTest, UnusedBytesAreWrittenAsZero) {
  CDBManager db(dir_.path());
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
  p.reserved[0] = 0xAA;
  p.reserved[1] = 0xBB;
  std::memset(p.path + 11, 'x', sizeof(p.path) - 12);  // leftovers after the terminator
  ASSERT_EQ(db.AddProgram(p, nullptr), 1);
  tagFIREWALL_PORTIP r = Port(1, 80, 80, 1);
  r.reserved[0] = 0xCC;
  std::memset(r.description + 5, 'y', sizeof(r.description) - 5);
  ASSERT_EQ(db.AddPortIp(r), 2);
  tagPOLICY_TABLE t = Table(443);
  t.entries[0].reserved1[0] = 0xDD;
  t.entries[3].reserved2[1] = 0xEE;
  t.reserved[2] = 0xFF;
  tagFIREWALL_PROGRAM withTable = Program(2, "/usr/bin/b");
  ASSERT_NE(db.AddProgram(withTable, &t), 0);

  std::vector<ref::Slot> slots = ref::Decrypt(ReadFile(RulePath()));
  ASSERT_EQ(slots.size(), 5u);
  auto zeroRange = [](const ref::Slot& slot, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (slot.bytes[i] != 0) return false;
    }
    return true;
  };
  const size_t payload = 32;
  EXPECT_TRUE(zeroRange(slots[1], payload + 2, payload + 4));          // program reserved
  EXPECT_TRUE(zeroRange(slots[1], payload + 8 + 10, payload + 272));   // after the path
  EXPECT_TRUE(zeroRange(slots[2], payload + 6, payload + 8));          // port/IP reserved
  EXPECT_TRUE(zeroRange(slots[2], payload + 18 + 4, payload + 274));   // after "test"
  EXPECT_TRUE(zeroRange(slots[3], payload + 4 + 2, payload + 4 + 4));  // entry reserved
  EXPECT_TRUE(zeroRange(slots[3], payload + 4 + 60 + 18, payload + 4 + 60 + 20));
  EXPECT_TRUE(zeroRange(slots[3], payload + 644, payload + 648));  // table reserved
  EXPECT_TRUE(zeroRange(slots[1], payload + 272, 816));            // past the record
}

TEST(DBManagerFaults, UnreadableJournalLeavesTheRuleCountAlone) {
  // The journal vanishes (cut to nothing) after opening: adds fail and count nothing.
  auto journal = std::make_unique<test_support::MemoryFile>();
  test_support::MemoryFile* journalView = journal.get();
  auto rules = std::make_unique<test_support::MemoryFile>();
  test_support::MemoryFile* rulesView = rules.get();
  CDBManager db(std::move(rules), std::move(journal));
  ASSERT_TRUE(journalView->Truncate(0));
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
  EXPECT_EQ(db.AddProgram(p, nullptr), 0);
  std::string header(816, '\0');
  ASSERT_EQ(rulesView->ReadAt(0, header.data(), header.size()), 816);
  EXPECT_EQ(ref::Decrypt(header)[0].GetU32(40), 0u);
}

TEST_F(DBManagerTest, HugeSparseFileDoesNotHang) {
  {
    CDBManager db(dir_.path());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    ASSERT_EQ(db.AddProgram(p, nullptr), 1);
  }
  ASSERT_EQ(truncate(RulePath().c_str(), 1LL << 30), 0);
  auto start = std::chrono::steady_clock::now();
  CDBManager db(dir_.path());
  EXPECT_EQ(ProgramPaths(db), std::vector<std::string>{"/usr/bin/a"});
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/b");
  EXPECT_EQ(db.AddProgram(p, nullptr), 2);  // zero slots decrypt to garbage, not "live"
  auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 60.0);
}

}  // namespace
}  // namespace qxfw::store
