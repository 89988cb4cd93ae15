#include "ctl/rules_commands.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "ctl/ctl_support.h"
#include "ctl/json_writer.h"
#include "platform/address_text.h"
#include "platform/folders.h"
#include "platform/lock_holder.h"
#include "platform/path_text.h"
#include "store/db_manager.h"
#include "store/rule_text.h"

namespace qxfw::ctl {
namespace {

using store::CDBManager;
using store::StoreAccess;
using store::tagFIREWALL_PORTIP;
using store::tagFIREWALL_PROGRAM;
using store::tagPOLICY;
using store::tagPOLICY_TABLE;

const char* const kLevelNames[] = {"", "Off", "Low", "Medium", "High"};

CDBManager* g_borrowed = nullptr;

// The store of one command: the borrowed one of the running program, or one opened for it.
class StoreRef {
 public:
  explicit StoreRef(CDBManager* borrowed) : db_(borrowed) {}
  explicit StoreRef(std::unique_ptr<CDBManager> owned)
      : owned_(std::move(owned)), db_(owned_.get()) {}
  CDBManager* operator->() const { return db_; }
  CDBManager& operator*() const { return *db_; }
  // Lets go of an opened store (a borrowed one stays with its owner).
  void Release() {
    owned_.reset();
    db_ = nullptr;
  }

 private:
  std::unique_ptr<CDBManager> owned_;
  CDBManager* db_;
};

// A command that only reads opens the store read-only: it never writes to the files, even
// to repair them. A changing command that finds damage repairs the store and stops there,
// so the user learns of it before anything else changes.
StoreRef OpenStore(StoreAccess access) {
  if (g_borrowed != nullptr) return StoreRef(g_borrowed);
  std::string folder = platform::FirewallDataFolder();
  auto db = std::make_unique<CDBManager>(folder, access);
  if (db->IsRuleFileOpen() && db->IsJournalOpen()) {
    if (access == StoreAccess::kReadWrite && db->Damage().Any()) {
      throw CommandFailed(store::DescribeDamage(db->Damage(), folder) +
                          " The command was not run; run it again to apply it.");
    }
    return StoreRef(std::move(db));
  }
  int error = db->IsRuleFileOpen() ? db->JournalOpenError() : db->RuleFileOpenError();
  if (error == EWOULDBLOCK) {
    std::string busy = folder + (db->IsRuleFileOpen() ? "/QLFW.log" : "/QLFW.dat");
    std::optional<platform::LockHolder> holder = platform::LockHolderOf(busy);
    std::string by = "another program";
    if (holder && holder->program == CDBManager::kFirewallProgram) {
      by = "a running firewall program (pid " + std::to_string(holder->pid) + ")";
    } else if (holder) {
      by = (holder->program == "qxfwctl" ? "another " : "") + TerminalText(holder->program) +
           " (pid " + std::to_string(holder->pid) + ")";
    }
    // A firewall program (or a holder that cannot be told) may take the command over; another
    // holder is only waited for by trying again.
    if (!holder || holder->program == CDBManager::kFirewallProgram) {
      throw StoreHeld("the rule data file in " + folder + " is in use by " + by +
                      "; use its screens, or close it and try again");
    }
    throw CommandFailed("the rule data file in " + folder + " is in use by " + by +
                        "; try again when it has finished");
  }
  throw CommandFailed("cannot open the rule data file in " + folder + ": " + std::strerror(error));
}

// What a reading command found wrong with the files it read, "" when nothing (a borrowed
// store was reported by its program when it opened it).
std::string DamageText(const CDBManager& db) {
  if (&db == g_borrowed || !db.Damage().Any()) return {};
  return store::DescribeDamage(db.Damage(), platform::FirewallDataFolder());
}

// A reading command shows what could be read, then fails with the damage.
int Done(const std::string& damage) {
  if (!damage.empty()) throw CommandFailed(damage);
  return 0;
}

// An add that fails for a rule not yet in the store failed to write; errno tells why.
CommandFailed WriteFailed(const CDBManager& db) {
  int error = errno;
  return CommandFailed("cannot write the rule data file " + db.RuleFilePath() +
                       (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
}

// Whether a live record of the store has the key of wanted: getter and same are the store's
// accessor and key test of that kind. Leaves errno clear for the add that follows.
template <typename Record>
bool HasRecord(CDBManager& db, int selectType, int (CDBManager::*getter)(Record*),
               bool (*same)(const Record&, const Record&), const Record& wanted) {
  db.Select(CDBManager::kSelectRuleFile);
  Record r{};
  bool found = false;
  while (db.Select(selectType) && (db.*getter)(&r)) found = found || same(r, wanted);
  errno = 0;
  return found;
}

bool HasProgram(CDBManager& db, const tagFIREWALL_PROGRAM& wanted) {
  tagFIREWALL_PROGRAM key = wanted;
  store::IsValidProgram(key);
  return HasRecord(db, CDBManager::kSelectProgram, &CDBManager::GetProgram, &store::SameProgramKey,
                   key);
}

bool HasPortIp(CDBManager& db, const tagFIREWALL_PORTIP& wanted) {
  return HasRecord(db, CDBManager::kSelectPortIp, &CDBManager::GetPortIp, &store::SamePortIpKey,
                   wanted);
}

std::string Range(uint32_t begin, uint32_t end, bool address) {
  if (begin == 0 && end == 0) return "*";
  auto text = [&](uint32_t v) {
    return address ? platform::HostAddressText(v) : std::to_string(v);
  };
  return text(begin) + "-" + text(end);
}

std::string PolicyText(const tagPOLICY& p) {
  std::string text = p.action == 1 ? "Allow" : "Block";
  if (p.beginIp != 0 || p.endIp != 0) text += " address " + Range(p.beginIp, p.endIp, true);
  if (p.beginPort != 0 || p.endPort != 0) {
    text += std::string(" ") + store::ProtocolWord(p.protocol) + " port " +
            Range(p.beginPort, p.endPort, false);
  }
  return text;
}

void PolicyJson(JsonWriter& json, const tagPOLICY_TABLE& table) {
  json.Key("policy").BeginArray();
  for (uint32_t i = 0; i < table.count && i < store::kMaxPolicyEntries; ++i) {
    const tagPOLICY& p = table.entries[i];
    json.BeginObject()
        .Field("action", int64_t{p.action})
        .Field("beginIp", platform::HostAddressText(p.beginIp))
        .Field("endIp", platform::HostAddressText(p.endIp))
        .Field("beginPort", int64_t{p.beginPort})
        .Field("endPort", int64_t{p.endPort})
        .Field("protocol", int64_t{p.protocol})
        .EndObject();
  }
  json.EndArray();
}

void ProgramJson(JsonWriter& json, const tagFIREWALL_PROGRAM& p, const tagPOLICY_TABLE* table) {
  json.Field("action", int64_t{p.action})
      .Field("actionText", store::ProgramActionWord(p.action))
      .Field("path", std::string(p.path, strnlen(p.path, sizeof(p.path))));
  if (table != nullptr) PolicyJson(json, *table);
}

void PortIpJson(JsonWriter& json, const tagFIREWALL_PORTIP& r) {
  json.Field("action", int64_t{r.action})
      .Field("actionText", store::PortIpActionWord(r.action))
      .Field("beginPort", int64_t{r.beginPort})
      .Field("endPort", int64_t{r.endPort})
      .Field("beginIp", platform::HostAddressText(r.beginIp))
      .Field("endIp", platform::HostAddressText(r.endIp))
      .Field("protocol", int64_t{r.protocol})
      .Field("protocolText", store::ProtocolWord(r.protocol))
      .Field("description",
             std::string(r.description, strnlen(r.description, sizeof(r.description))))
      .Field("portType", int64_t{r.portType})
      .Field("portTypeText", store::PortTypeWord(r.portType));
}

std::string PortIpText(const tagFIREWALL_PORTIP& r) {
  char line[512];
  std::string description =
      TerminalText(std::string_view(r.description, strnlen(r.description, sizeof(r.description))));
  std::snprintf(line, sizeof(line), "%-6s %-4s ports %-11s addresses %-31s %-18s %s",
                store::PortIpActionWord(r.action), store::ProtocolWord(r.protocol),
                Range(r.beginPort, r.endPort, false).c_str(),
                Range(r.beginIp, r.endIp, true).c_str(), store::PortTypeWord(r.portType),
                description.c_str());
  return line;
}

struct ProgramWithTable {
  tagFIREWALL_PROGRAM program;
  bool hasTable;
  tagPOLICY_TABLE table;
};

int ListRules(const Arguments& args, std::ostream& out) {
  args.Expect(1, 1, "rules list [--json]");
  auto db = OpenStore(StoreAccess::kReadOnly);
  const std::string damage = DamageText(*db);
  std::vector<ProgramWithTable> programs;
  db->Select(CDBManager::kSelectRuleFile);
  ProgramWithTable item{};
  while (db->Select(CDBManager::kSelectProgram) && db->GetProgram(&item.program)) {
    programs.push_back(item);
  }
  for (ProgramWithTable& p : programs) {
    p.hasTable = p.program.action == store::kActionPolicy &&
                 db->GetPolicy(&p.table, static_cast<uint32_t>(p.program.policySlot)) != 0;
  }
  std::vector<tagFIREWALL_PORTIP> ports;
  db->Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PORTIP r{};
  while (db->Select(CDBManager::kSelectPortIp) && db->GetPortIp(&r)) ports.push_back(r);
  const uint32_t level = db->GetSecurityLevel();
  db.Release();  // released before printing: output may wait on a slow pipe

  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginObject().Field("securityLevel", int64_t{level}).Key("programs").BeginArray();
    for (const ProgramWithTable& p : programs) {
      json.BeginObject();
      ProgramJson(json, p.program, p.hasTable ? &p.table : nullptr);
      json.EndObject();
    }
    json.EndArray().Key("portIpRules").BeginArray();
    for (const tagFIREWALL_PORTIP& rule : ports) {
      json.BeginObject();
      PortIpJson(json, rule);
      json.EndObject();
    }
    json.EndArray().EndObject();
    out << json.Text() << "\n";
    return Done(damage);
  }
  out << "Security level: " << level << " (" << kLevelNames[level] << ")\n";
  out << "Program rules: " << programs.size() << "\n";
  for (const ProgramWithTable& p : programs) {
    out << "  " << store::ProgramActionWord(p.program.action) << "\t"
        << TerminalText(p.program.path) << "\n";
    if (p.program.action == store::kActionPolicy && !p.hasTable) {
      out << "  \t  (policy table missing)\n";
    }
    for (uint32_t i = 0; p.hasTable && i < p.table.count && i < store::kMaxPolicyEntries; ++i) {
      out << "  \t  " << PolicyText(p.table.entries[i]) << "\n";
    }
  }
  out << "IP/port rules: " << ports.size() << "\n";
  for (const tagFIREWALL_PORTIP& rule : ports) out << "  " << PortIpText(rule) << "\n";
  return Done(damage);
}

int16_t ParseProgramAction(const std::string& text) {
  if (text == "block" || text == "0") return store::kActionBlock;
  if (text == "allow" || text == "1") return store::kActionAllow;
  if (text == "policy" || text == "2") {
    throw UsageError("policy rules need a policy table; edit them in the firewall program");
  }
  throw UsageError("action must be allow (1) or block (0): '" + text + "'");
}

tagFIREWALL_PROGRAM ProgramFromPath(const std::string& text) {
  if (text.empty() || text[0] != '/') throw UsageError("path must be absolute: '" + text + "'");
  std::string path = platform::NormalizePath(text);
  if (path.size() > store::kProgramPathLimit) {
    throw UsageError("path is longer than 259 characters");
  }
  tagFIREWALL_PROGRAM p{};
  std::memcpy(p.path, path.data(), path.size());
  return p;
}

int AddProgram(const Arguments& args, std::ostream& out) {
  args.Expect(3, 3, "rules add-program allow|block PATH");
  tagFIREWALL_PROGRAM p = ProgramFromPath(args.Positional()[2]);
  p.action = ParseProgramAction(args.Positional()[1]);
  auto db = OpenStore(StoreAccess::kReadWrite);
  if (HasProgram(*db, p)) {
    throw CommandFailed(std::string("a rule for ") + p.path + " already exists");
  }
  if (db->AddProgram(p, nullptr) == 0) throw WriteFailed(*db);
  out << "added: " << store::ProgramActionWord(p.action) << " " << TerminalText(p.path) << "\n";
  return 0;
}

int DeleteProgram(const Arguments& args, std::ostream& out) {
  args.Expect(2, 2, "rules delete-program PATH");
  tagFIREWALL_PROGRAM p = ProgramFromPath(args.Positional()[1]);
  auto db = OpenStore(StoreAccess::kReadWrite);
  if (db->DeleteProgram(p) == 0) throw CommandFailed(std::string("no rule for ") + p.path);
  out << "deleted: " << TerminalText(p.path) << "\n";
  return 0;
}

// The eight fields of the start-up option P, checked strictly, then read the same way.
tagFIREWALL_PORTIP PortIpFromFields(const std::vector<std::string>& f) {
  ParseNumber(f[0], 1, "ACTION");
  ParseNumber(f[1], 65535, "BEGINPORT");
  ParseNumber(f[2], 65535, "ENDPORT");
  ParseAddress(f[3], "BEGINIP");
  ParseAddress(f[4], "ENDIP");
  uint32_t protocol = ParseNumber(f[5], 4, "PROTOCOL");
  if (protocol != 1 && protocol != 2 && protocol != 4) {
    throw UsageError("PROTOCOL must be 1 (TCP), 2 (UDP) or 4 (all)");
  }
  if (f[6].empty() || f[6].find_first_of(",;") != std::string::npos || f[6].size() > 255) {
    throw UsageError("DESCRIPTION must be 1 to 255 characters without ',' or ';'");
  }
  uint32_t type = ParseNumber(f[7], 4, "PORTTYPE");
  if (type == 0) throw UsageError("PORTTYPE must be 1 to 4");
  std::string item;
  for (size_t i = 0; i < 8; ++i) item += (i ? "," : "") + f[i];
  tagFIREWALL_PORTIP rule{};
  if (!store::ParsePortIpItem(item, &rule)) throw UsageError("malformed rule fields");
  if (!store::IsValidPortIp(rule)) {
    throw UsageError(
        "the rule needs a port range (BEGINPORT <= ENDPORT) or an address range "
        "(BEGINIP <= ENDIP)");
  }
  return rule;
}

int AddPortIp(const Arguments& args, std::ostream& out) {
  args.Expect(9, 9,
              "rules add-portip ACTION BEGINPORT ENDPORT BEGINIP ENDIP PROTOCOL DESCRIPTION "
              "PORTTYPE");
  std::vector<std::string> fields(args.Positional().begin() + 1, args.Positional().end());
  tagFIREWALL_PORTIP rule = PortIpFromFields(fields);
  auto db = OpenStore(StoreAccess::kReadWrite);
  if (HasPortIp(*db, rule)) {
    throw CommandFailed("a rule for the same protocol, ports and addresses already exists");
  }
  if (db->AddPortIp(rule) == 0) throw WriteFailed(*db);
  out << "added: " << PortIpText(rule) << "\n";
  return 0;
}

int DeletePortIp(const Arguments& args, std::ostream& out) {
  args.Expect(6, 6, "rules delete-portip BEGINPORT ENDPORT BEGINIP ENDIP PROTOCOL");
  const auto& p = args.Positional();
  tagFIREWALL_PORTIP rule = PortIpFromFields({"1", p[1], p[2], p[3], p[4], p[5], "key", "1"});
  auto db = OpenStore(StoreAccess::kReadWrite);
  if (db->DeletePortIp(rule) == 0) {
    throw CommandFailed("no rule for that protocol, ports and addresses");
  }
  out << "deleted: " << store::ProtocolWord(rule.protocol) << " ports "
      << Range(rule.beginPort, rule.endPort, false) << " addresses "
      << Range(rule.beginIp, rule.endIp, true) << "\n";
  return 0;
}

}  // namespace

void SetBorrowedStore(store::CDBManager* db) {
  g_borrowed = db;
}

int RunStoreCommand(const std::vector<std::string>& words, std::ostream& out, std::string* error) {
  if (words.empty()) return -1;
  std::vector<std::string> rest(words.begin() + 1, words.end());
  try {
    if (words[0] == "rules") return RunRules(rest, out);
    if (words[0] == "level") return RunLevel(rest, out);
    if (words[0] == "journal") return RunJournal(rest, out);
    return -1;
  } catch (const StoreHeld& e) {
    *error = e.what();
    return kStoreHeld;
  } catch (const UsageError& e) {
    *error = e.what();
    return 2;
  } catch (const std::exception& e) {
    *error = e.what();
    return 1;
  }
}

int RunRules(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {}, {"--json"});
  if (args.Positional().empty()) {
    throw UsageError(
        "usage: qxfwctl rules list|add-program|add-portip|delete-program|"
        "delete-portip ...");
  }
  const std::string& verb = args.Positional()[0];
  if (verb == "list") return ListRules(args, out);
  if (args.Flag("--json")) throw UsageError("--json applies to 'rules list' only");
  if (verb == "add-program") return AddProgram(args, out);
  if (verb == "delete-program") return DeleteProgram(args, out);
  if (verb == "add-portip") return AddPortIp(args, out);
  if (verb == "delete-portip") return DeletePortIp(args, out);
  throw UsageError("unknown rules command '" + verb + "'");
}

int RunLevel(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {}, {});
  args.Expect(0, 2, "level [get | set 1-4]");
  const auto& p = args.Positional();
  if (p.empty() || (p[0] == "get" && p.size() == 1)) {
    auto db = OpenStore(StoreAccess::kReadOnly);
    uint32_t level = db->GetSecurityLevel();
    const std::string damage = DamageText(*db);
    db.Release();
    out << level << " " << kLevelNames[level] << "\n";
    return Done(damage);
  }
  if (p[0] != "set" || p.size() != 2) throw UsageError("usage: qxfwctl level [get | set 1-4]");
  uint32_t level = ParseNumber(p[1], 4, "level");
  if (level == 0) throw UsageError("level must be 1 (Off), 2 (Low), 3 (Medium) or 4 (High)");
  auto db = OpenStore(StoreAccess::kReadWrite);
  if (db->SetSecurityLevel(level) == 0) throw CommandFailed("cannot write the security level");
  out << level << " " << kLevelNames[level] << "\n";
  return 0;
}

int RunJournal(const std::vector<std::string>& words, std::ostream& out) {
  Arguments args(words, {"--from", "--to"}, {"--json"});
  args.Expect(0, 0, "journal [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--json]");
  uint32_t from = 0, to = 99999999;
  if (auto v = args.Value("--from")) from = ParseDate(*v, "--from");
  if (auto v = args.Value("--to")) to = ParseDate(*v, "--to");
  if (from > to) throw UsageError("--from is after --to");

  struct Entry {
    uint32_t sequence, op, kind;
    platform::SYSTEMTIME time;
    tagFIREWALL_PROGRAM program;
    tagFIREWALL_PORTIP rule;
    bool hasTable;
    tagPOLICY_TABLE table;
  };
  auto db = OpenStore(StoreAccess::kReadOnly);
  const std::string damage = DamageText(*db);
  std::vector<Entry> entries;
  auto keep = [&](const platform::SYSTEMTIME& t) {
    uint32_t day = t.wYear * 10000u + t.wMonth * 100u + t.wDay;
    return day >= from && day <= to;
  };
  db->Select(CDBManager::kSelectJournal);
  Entry e{};
  while (db->Select(CDBManager::kSelectProgram) && db->GetProgram(&e.program)) {
    e.sequence = db->GetJournalSequence();
    e.op = db->GetJournalOp();
    e.time = db->GetJournalTime();
    e.kind = store::kKindProgram;
    e.hasTable = e.program.action == store::kActionPolicy &&
                 db->GetPolicy(&e.table, static_cast<uint32_t>(e.program.policySlot)) != 0;
    if (keep(e.time)) entries.push_back(e);
  }
  e = Entry{};
  while (db->Select(CDBManager::kSelectPortIp) && db->GetPortIp(&e.rule)) {
    e.sequence = db->GetJournalSequence();
    e.op = db->GetJournalOp();
    e.time = db->GetJournalTime();
    e.kind = store::kKindPortIp;
    if (keep(e.time)) entries.push_back(e);
  }
  db->Select(CDBManager::kSelectRuleFile);
  db.Release();  // released before printing: output may wait on a slow pipe
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });

  auto opName = [](uint32_t op) {
    return op == store::kOpAdded      ? "added"
           : op == store::kOpDeleted  ? "deleted"
           : op == store::kOpModified ? "modified"
                                      : "unknown";
  };
  auto timeText = [](const platform::SYSTEMTIME& t) {
    char buffer[48];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond);
    return std::string(buffer);
  };
  if (args.Flag("--json")) {
    JsonWriter json;
    json.BeginArray();
    for (const Entry& x : entries) {
      json.BeginObject()
          .Field("sequence", int64_t{x.sequence})
          .Field("time", timeText(x.time))
          .Field("operation", opName(x.op))
          .Field("kind", x.kind == store::kKindProgram ? "program" : "portip");
      if (x.kind == store::kKindProgram) {
        ProgramJson(json, x.program, x.hasTable ? &x.table : nullptr);
      } else {
        PortIpJson(json, x.rule);
      }
      json.EndObject();
    }
    json.EndArray();
    out << json.Text() << "\n";
    return Done(damage);
  }
  for (const Entry& x : entries) {
    out << x.sequence << "\t" << timeText(x.time) << "\t" << opName(x.op) << "\t";
    if (x.kind == store::kKindProgram) {
      out << "program " << store::ProgramActionWord(x.program.action) << " "
          << TerminalText(x.program.path);
      for (uint32_t i = 0; x.hasTable && i < x.table.count && i < store::kMaxPolicyEntries; ++i) {
        out << (i == 0 ? " [" : "; ") << PolicyText(x.table.entries[i]);
        if (i + 1 == x.table.count) out << "]";
      }
    } else {
      out << "portip " << PortIpText(x.rule);
    }
    out << "\n";
  }
  return Done(damage);
}

}  // namespace qxfw::ctl
