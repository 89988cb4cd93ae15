// The rule store under damage and crashes: a damaged header is reported without a write by a
// reader and repaired without losing a slot by a writer; a change interrupted at any byte, or
// by SIGKILL, leaves the rule file and the journal telling the same story.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "store/db_manager.h"
#include "store/reference_slots.h"
#include "store/string_table.h"
#include "test_support/memory_file.h"
#include "test_support/temp_dir.h"

namespace qxfw::store {
namespace {

namespace ref = reference;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

tagFIREWALL_PROGRAM Program(int16_t action, const std::string& path) {
  tagFIREWALL_PROGRAM p{};
  p.action = action;
  std::strncpy(p.path, path.c_str(), sizeof(p.path) - 1);
  return p;
}

tagFIREWALL_PORTIP Port(int16_t action, uint16_t port) {
  tagFIREWALL_PORTIP r{};
  r.action = action;
  r.beginPort = port;
  r.endPort = port;
  r.protocol = 1;
  r.portType = 1;
  std::strcpy(r.description, "port");
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

// The live rules as the rule file has them: "path action[ table-port]" and "port:N action".
std::multiset<std::string> LiveRules(CDBManager& db) {
  std::multiset<std::string> rules;
  std::vector<tagFIREWALL_PROGRAM> programs;
  db.Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PROGRAM p;
  while (db.Select(CDBManager::kSelectProgram) && db.GetProgram(&p)) programs.push_back(p);
  for (const tagFIREWALL_PROGRAM& program : programs) {
    std::string text = std::string(program.path) + " " + std::to_string(program.action);
    tagPOLICY_TABLE t{};
    if (program.action == kActionPolicy) {
      text += db.GetPolicy(&t, static_cast<uint32_t>(program.policySlot)) == 1
                  ? " " + std::to_string(t.entries[0].beginPort)
                  : " no-table";
    }
    rules.insert(text);
  }
  db.Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PORTIP r;
  while (db.Select(CDBManager::kSelectPortIp) && db.GetPortIp(&r)) {
    rules.insert("port:" + std::to_string(r.beginPort) + " " + std::to_string(r.action));
  }
  return rules;
}

// The live rules the journal's history adds up to, in the same form.
std::multiset<std::string> JournalledRules(CDBManager& db) {
  struct Entry {
    uint32_t sequence, op;
    std::string key, text;
  };
  std::vector<Entry> entries;
  db.Select(CDBManager::kSelectJournal);
  tagFIREWALL_PROGRAM p;
  std::vector<std::pair<Entry, tagFIREWALL_PROGRAM>> programs;
  while (db.Select(CDBManager::kSelectProgram) && db.GetProgram(&p)) {
    Entry e{db.GetJournalSequence(), db.GetJournalOp(), p.path, ""};
    programs.push_back({e, p});
  }
  for (auto& [e, program] : programs) {
    e.text = e.key + " " + std::to_string(program.action);
    tagPOLICY_TABLE t{};
    if (program.action == kActionPolicy) {
      e.text += db.GetPolicy(&t, static_cast<uint32_t>(program.policySlot)) == 1
                    ? " " + std::to_string(t.entries[0].beginPort)
                    : " no-table";
    }
    entries.push_back(e);
  }
  tagFIREWALL_PORTIP r;
  while (db.Select(CDBManager::kSelectPortIp) && db.GetPortIp(&r)) {
    std::string key = "port:" + std::to_string(r.beginPort);
    entries.push_back(
        {db.GetJournalSequence(), db.GetJournalOp(), key, key + " " + std::to_string(r.action)});
  }
  db.Select(CDBManager::kSelectRuleFile);
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });
  // A modification journals the old record, then the new one (its tables are not listed).
  std::map<std::string, std::string> live;
  bool oldOfModification = true;
  for (const Entry& e : entries) {
    if (e.op == kOpAdded) {
      live[e.key] = e.text;
    } else if (e.op == kOpDeleted) {
      live.erase(e.key);
    } else if (oldOfModification) {
      live.erase(e.key);
      oldOfModification = false;
    } else {
      live[e.key] = e.text;
      oldOfModification = true;
    }
  }
  std::multiset<std::string> rules;
  for (const auto& [key, text] : live) rules.insert(text);
  return rules;
}

class StoreDamageTest : public ::testing::Test {
 protected:
  std::string RulePath() const { return dir_.path() + "/QLFW.dat"; }
  std::string JournalPath() const { return dir_.path() + "/QLFW.log"; }

  // 41 rules: 30 programs (every fifth one with a policy table) and 11 IP/port rules; level High.
  void MakeStore() {
    CDBManager db(dir_.path());
    for (int i = 0; i < 30; ++i) {
      tagFIREWALL_PROGRAM p = Program(i % 5 == 0 ? 2 : i % 2, "/opt/app" + std::to_string(i));
      tagPOLICY_TABLE t = Table(static_cast<uint16_t>(1000 + i));
      ASSERT_NE(db.AddProgram(p, p.action == 2 ? &t : nullptr), 0) << i;
    }
    for (int i = 0; i < 11; ++i) {
      tagFIREWALL_PORTIP r = Port(static_cast<int16_t>(i % 2), static_cast<uint16_t>(20 + i));
      ASSERT_NE(db.AddPortIp(r), 0) << i;
    }
    ASSERT_EQ(db.SetSecurityLevel(4), 1);
    rules_ = LiveRules(db);
    journalled_ = JournalledRules(db);
    ASSERT_EQ(rules_.size(), 41u);
    ASSERT_EQ(journalled_, rules_);
  }

  static std::string Flip(std::string bytes, std::initializer_list<size_t> offsets) {
    for (size_t at : offsets) bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
    return bytes;
  }

  test_support::TempDir dir_;
  std::multiset<std::string> rules_;
  std::multiset<std::string> journalled_;
};

TEST_F(StoreDamageTest, FlippedRuleFileHeaderByteIsReportedByAReaderAndRepairedByAWriter) {
  ASSERT_NO_FATAL_FAILURE(MakeStore());
  const std::string damaged = Flip(ReadFile(RulePath()), {50});
  WriteFile(RulePath(), damaged);
  const std::string journal = ReadFile(JournalPath());

  {
    CDBManager reader(dir_.path(), StoreAccess::kReadOnly);
    const StoreDamage& damage = reader.Damage();
    EXPECT_TRUE(damage.ruleHeader);
    EXPECT_FALSE(damage.journalHeader);
    EXPECT_FALSE(damage.levelLost);
    EXPECT_FALSE(damage.repaired);
    EXPECT_EQ(damage.rulesKept, 41u);
    EXPECT_EQ(damage.slotsLost, 0u);
    EXPECT_EQ(LiveRules(reader), rules_);
    EXPECT_EQ(reader.GetSecurityLevel(), 4u);
    EXPECT_FALSE(reader.IsWritable());
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/new");
    EXPECT_EQ(reader.AddProgram(p, nullptr), 0);
    EXPECT_EQ(reader.SetSecurityLevel(2), 0);
    std::string text = DescribeDamage(damage, dir_.path());
    EXPECT_NE(text.find("41 rules were read"), std::string::npos) << text;
    EXPECT_NE(text.find("Nothing was changed"), std::string::npos) << text;
  }
  EXPECT_EQ(ReadFile(RulePath()), damaged);
  EXPECT_EQ(ReadFile(JournalPath()), journal);
  EXPECT_FALSE(Exists(RulePath() + ".bad"));

  {
    CDBManager writer(dir_.path());
    const StoreDamage& damage = writer.Damage();
    EXPECT_TRUE(damage.repaired);
    EXPECT_EQ(damage.ruleSetAside, RulePath() + ".bad");
    EXPECT_EQ(LiveRules(writer), rules_);
    EXPECT_EQ(JournalledRules(writer), rules_);
    EXPECT_EQ(writer.GetSecurityLevel(), 4u);
    EXPECT_NE(DescribeDamage(damage, dir_.path()).find(RulePath() + ".bad"), std::string::npos);
  }
  EXPECT_EQ(ReadFile(RulePath() + ".bad"), damaged);
  EXPECT_EQ(ReadFile(RulePath()).size(), damaged.size());

  // Sound again: a new rule is journalled after the old entries.
  CDBManager again(dir_.path());
  EXPECT_FALSE(again.Damage().Any());
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/new");
  ASSERT_NE(again.AddProgram(p, nullptr), 0);
  rules_.insert("/usr/bin/new 1");
  EXPECT_EQ(LiveRules(again), rules_);
  EXPECT_EQ(JournalledRules(again), rules_);
}

TEST_F(StoreDamageTest, FlippedJournalHeaderByteKeepsEveryEntry) {
  ASSERT_NO_FATAL_FAILURE(MakeStore());
  const std::string damaged = Flip(ReadFile(JournalPath()), {50});
  WriteFile(JournalPath(), damaged);
  const uint32_t entries = static_cast<uint32_t>(damaged.size() / 816 - 1);
  {
    CDBManager reader(dir_.path(), StoreAccess::kReadOnly);
    EXPECT_TRUE(reader.Damage().journalHeader);
    EXPECT_FALSE(reader.Damage().ruleHeader);
    EXPECT_EQ(reader.Damage().journalKept, entries);
    EXPECT_EQ(JournalledRules(reader), rules_);
  }
  EXPECT_EQ(ReadFile(JournalPath()), damaged);
  {
    CDBManager writer(dir_.path());
    EXPECT_TRUE(writer.Damage().repaired);
    EXPECT_EQ(writer.Damage().journalSetAside, JournalPath() + ".bad");
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/new");
    ASSERT_NE(writer.AddProgram(p, nullptr), 0);
    EXPECT_EQ(writer.GetJournalSequence(), 0u);
  }
  EXPECT_EQ(ReadFile(JournalPath() + ".bad"), damaged);
  std::vector<ref::Slot> journal = ref::Decrypt(ReadFile(JournalPath()));
  ASSERT_EQ(journal.size(), entries + 2u);
  EXPECT_EQ(journal[0].GetU32(40), entries + 1);
  EXPECT_EQ(journal.back().GetU32(0), entries + 1);
  CDBManager again(dir_.path(), StoreAccess::kReadOnly);
  rules_.insert("/usr/bin/new 1");
  EXPECT_EQ(JournalledRules(again), rules_);
}

TEST_F(StoreDamageTest, DamagedLevelBlockIsSaidToBeLost) {
  ASSERT_NO_FATAL_FAILURE(MakeStore());
  WriteFile(RulePath(), Flip(ReadFile(RulePath()), {50, 100}));
  CDBManager writer(dir_.path());
  EXPECT_TRUE(writer.Damage().levelLost);
  EXPECT_EQ(writer.GetSecurityLevel(), 3u);
  EXPECT_EQ(LiveRules(writer), rules_);
  std::string text = DescribeDamage(writer.Damage(), dir_.path());
  EXPECT_NE(text.find("security level could not be read"), std::string::npos) << text;
}

TEST(StoreDamage, NoRepairWithoutACopyOfTheDamagedFile) {
  // Nowhere to keep the copy: the files stay exactly as they were and nothing is written.
  std::string rules;
  std::string journal;
  {
    auto r = std::make_unique<test_support::MemoryFile>();
    auto j = std::make_unique<test_support::MemoryFile>();
    auto* rv = r.get();
    auto* jv = j.get();
    CDBManager db(std::move(r), std::move(j));
    tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/a");
    ASSERT_NE(db.AddProgram(p, nullptr), 0);
    rules = rv->Bytes();
    journal = jv->Bytes();
  }
  rules[50] = static_cast<char>(rules[50] ^ 1);
  auto r = std::make_unique<test_support::MemoryFile>(rules);
  auto* rv = r.get();
  CDBManager db(std::move(r), std::make_unique<test_support::MemoryFile>(journal));
  EXPECT_FALSE(db.Damage().repaired);
  EXPECT_FALSE(db.Damage().repairError.empty());
  EXPECT_FALSE(db.IsWritable());
  EXPECT_EQ(LiveRules(db), std::multiset<std::string>{"/usr/bin/a 1"});
  tagFIREWALL_PROGRAM p = Program(1, "/usr/bin/b");
  EXPECT_EQ(db.AddProgram(p, nullptr), 0);
  EXPECT_EQ(db.SetSecurityLevel(4), 0);
  EXPECT_EQ(rv->Bytes(), rules);
  EXPECT_EQ(rv->Syncs(), 0u);
}

TEST(StoreDamage, ProgramMessageSaysWhatWasKeptLostAndWhere) {
  auto english = [](int number) {
    return std::string(kEnglishExtraStrings[number - kExtraStringBase]);
  };
  StoreDamage damage;
  EXPECT_EQ(StoreDamageMessage(damage, english), "");
  damage.ruleHeader = true;
  damage.rulesKept = 40;
  damage.slotsLost = 1;
  damage.levelLost = true;
  damage.repaired = true;
  damage.ruleSetAside = "/data/QLFW.dat.bad";
  EXPECT_EQ(StoreDamageMessage(damage, english),
            "The header of the rule data file was damaged. 40 rules were kept from its intact "
            "parts.\n\n1 damaged parts of the rule data file could not be read; their rules are "
            "lost.\n\nThe security level could not be read and is set to Medium.\n\nThe "
            "damaged file was kept as /data/QLFW.dat.bad.");
  damage = StoreDamage{};
  damage.journalHeader = true;
  damage.journalKept = 7;
  damage.repairError = "cannot keep a copy of QLFW.log: No space left on device";
  EXPECT_EQ(StoreDamageMessage(damage, english),
            "The header of the journal of rule changes was damaged. Its 7 entries were kept.\n\n"
            "The damaged file could not be kept aside (cannot keep a copy of QLFW.log: No space "
            "left on device), so the store was not repaired: rules cannot be changed until it "
            "is.");
}

// Both files of one process: after budget bytes in all the process "dies": the write under
// way stops part way (at a 16-byte boundary: a device writes sectors whole), and nothing after
// it reaches either file.
struct Crash {
  size_t budget;
  bool torn = true;  // false: the write under way is lost whole
  bool dead = false;
};

class CrashFile : public platform::RandomAccessFile {
 public:
  CrashFile(std::string bytes, std::shared_ptr<Crash> crash)
      : bytes_(std::move(bytes)), crash_(std::move(crash)) {}
  int64_t ReadAt(uint64_t offset, void* data, size_t size) override {
    if (offset >= bytes_.size()) return 0;
    size_t n = std::min(size, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(data, bytes_.data() + offset, n);
    return static_cast<int64_t>(n);
  }
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    if (crash_->dead) return false;
    size_t n = std::min(size, crash_->torn ? crash_->budget / 16 * 16 : 0);
    if (size <= crash_->budget) n = size;
    crash_->budget = n < size ? 0 : crash_->budget - n;
    if (bytes_.size() < offset + n) bytes_.resize(offset + n);
    std::memcpy(bytes_.data() + offset, data, n);
    if (n < size) crash_->dead = true;
    return n == size;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
  bool Truncate(uint64_t size) override {
    if (crash_->dead) return false;
    bytes_.resize(size);
    return true;
  }
  bool Sync() override { return !crash_->dead; }
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
  std::shared_ptr<Crash> crash_;
};

struct Files {
  std::string rules, journal;
};

// A store with history: a program, a policy program, an IP/port rule.
Files BaseStore() {
  auto r = std::make_unique<test_support::MemoryFile>();
  auto j = std::make_unique<test_support::MemoryFile>();
  auto* rv = r.get();
  auto* jv = j.get();
  CDBManager db(std::move(r), std::move(j));
  tagFIREWALL_PROGRAM a = Program(1, "/usr/bin/a");
  tagFIREWALL_PROGRAM b = Program(2, "/usr/bin/b");
  tagPOLICY_TABLE t = Table(443);
  tagFIREWALL_PORTIP port = Port(1, 80);
  EXPECT_NE(db.AddProgram(a, nullptr), 0);
  EXPECT_NE(db.AddProgram(b, &t), 0);
  EXPECT_NE(db.AddPortIp(port), 0);
  tagFIREWALL_PROGRAM gone = Program(0, "/usr/bin/gone");
  EXPECT_NE(db.AddProgram(gone, nullptr), 0);
  EXPECT_NE(db.DeleteProgram(gone), 0);  // a freed slot for the next add to reuse
  return {rv->Bytes(), jv->Bytes()};
}

using Operation = std::function<void(CDBManager&)>;

TEST(StoreCrash, ChangeInterruptedAtAnyByteLeavesRuleFileAndJournalInStep) {
  const Files base = BaseStore();
  // A modification writes the new record over the old one; a write torn inside that slot is
  // not put right (the old record's image is in the journal, its slot is not), so those are
  // interrupted between writes only.
  const std::set<std::string> whole = {"modify tables", "rename"};
  const std::vector<std::pair<std::string, Operation>> operations = {
      {"add",
       [](CDBManager& db) {
         tagFIREWALL_PROGRAM p = Program(0, "/usr/bin/c");
         db.AddProgram(p, nullptr);
       }},
      {"add with table",
       [](CDBManager& db) {
         tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/c");
         tagPOLICY_TABLE t = Table(8080);
         db.AddProgram(p, &t);
       }},
      {"delete with table",
       [](CDBManager& db) {
         tagFIREWALL_PROGRAM p = Program(2, "/usr/bin/b");
         db.DeleteProgram(p);
       }},
      {"modify tables",
       [](CDBManager& db) {
         tagFIREWALL_PROGRAM from = Program(2, "/usr/bin/b");
         tagFIREWALL_PROGRAM to = Program(2, "/usr/bin/b");
         tagPOLICY_TABLE t = Table(8443);
         db.ModifyProgram(from, to, &t);
       }},
      {"rename",
       [](CDBManager& db) {
         tagFIREWALL_PROGRAM from = Program(1, "/usr/bin/a");
         tagFIREWALL_PROGRAM to = Program(0, "/usr/bin/renamed");
         db.ModifyProgram(from, to, nullptr);
       }},
      {"add port",
       [](CDBManager& db) {
         tagFIREWALL_PORTIP r = Port(0, 81);
         db.AddPortIp(r);
       }},
  };
  for (const auto& [name, operation] : operations) {
    // What the store holds before and after the whole change.
    std::multiset<std::string> before;
    std::multiset<std::string> after;
    size_t total = 0;
    {
      auto crash = std::make_shared<Crash>(Crash{SIZE_MAX});
      CDBManager db(std::make_unique<CrashFile>(base.rules, crash),
                    std::make_unique<CrashFile>(base.journal, crash));
      before = LiveRules(db);
      operation(db);
      after = LiveRules(db);
      total = SIZE_MAX - crash->budget;
      ASSERT_NE(before, after) << name;
      ASSERT_EQ(JournalledRules(db), after) << name;
    }
    for (size_t budget = 0; budget <= total; budget += 8) {
      auto crash = std::make_shared<Crash>(Crash{budget, whole.count(name) == 0});
      auto r = std::make_unique<CrashFile>(base.rules, crash);
      auto j = std::make_unique<CrashFile>(base.journal, crash);
      auto* rv = r.get();
      auto* jv = j.get();
      Files left;
      {
        CDBManager db(std::move(r), std::move(j));
        operation(db);
        left = {rv->Bytes(), jv->Bytes()};
      }
      // A reader sees the two in step without writing; a writer then settles them for good.
      {
        CDBManager reader(std::make_unique<test_support::MemoryFile>(left.rules),
                          std::make_unique<test_support::MemoryFile>(left.journal),
                          StoreAccess::kReadOnly);
        std::multiset<std::string> live = LiveRules(reader);
        EXPECT_TRUE(live == before || live == after) << name << " budget " << budget;
        EXPECT_EQ(JournalledRules(reader), live) << name << " budget " << budget;
      }
      CDBManager writer(std::make_unique<test_support::MemoryFile>(left.rules),
                        std::make_unique<test_support::MemoryFile>(left.journal));
      std::multiset<std::string> live = LiveRules(writer);
      EXPECT_TRUE(live == before || live == after) << name << " budget " << budget;
      EXPECT_EQ(JournalledRules(writer), live) << name << " budget " << budget;
      // And the next change goes on from there.
      tagFIREWALL_PROGRAM next = Program(1, "/usr/bin/next");
      ASSERT_NE(writer.AddProgram(next, nullptr), 0) << name << " budget " << budget;
      live.insert("/usr/bin/next 1");
      EXPECT_EQ(JournalledRules(writer), live) << name << " budget " << budget;
    }
  }
}

// The fault seen in the field: about one add in a hundred killed at random was applied to the
// rule file but missing from the journal. Many kills make that window certain to be hit.
TEST(StoreCrash, KilledAddsStayInStepWithTheJournal) {
  test_support::TempDir dir;
  std::mt19937 random(12345);
  constexpr int kKills = 300;
  int disagreed = 0;
  size_t applied = 0;
  for (int round = 0; round < kKills; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(ready[0]);
      CDBManager db(dir.path(), std::chrono::milliseconds(5000));
      // Opened: from here every kill lands among the adds.
      if (::write(ready[1], "r", 1) != 1) ::_exit(1);
      for (int i = 0;; ++i) {
        tagFIREWALL_PROGRAM p =
            Program(1, "/opt/killed/r" + std::to_string(round) + "-" + std::to_string(i));
        db.AddProgram(p, nullptr);
      }
    }
    ::close(ready[1]);
    char byte = 0;
    const bool opened = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (opened) std::this_thread::sleep_for(std::chrono::microseconds(random() % 8000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(opened) << "round " << round;
    bool inStep = true;
    {
      CDBManager reader(dir.path(), StoreAccess::kReadOnly);
      inStep = JournalledRules(reader) == LiveRules(reader);
    }
    CDBManager writer(dir.path());
    std::multiset<std::string> live = LiveRules(writer);
    inStep = inStep && JournalledRules(writer) == live;
    if (!inStep) {
      ++disagreed;
      ADD_FAILURE() << "round " << round << ": the rule file and the journal disagree";
    }
    if (disagreed > 5) break;  // it stays so; later rounds would say no more
    applied = live.size();
  }
  EXPECT_EQ(disagreed, 0) << "of " << kKills << " killed runs";
  EXPECT_GT(applied, static_cast<size_t>(kKills / 10));  // the children did add rules
}

}  // namespace
}  // namespace qxfw::store
