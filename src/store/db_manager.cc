#include "store/db_manager.h"

#include <sched.h>
#include <algorithm>

#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/debug_output.h"
#include "platform/folders.h"
#include "platform/last_error.h"
#include "platform/lock_holder.h"

namespace qxfw::store {
namespace {

constexpr uint32_t kErrorInvalidBlock = 7;
constexpr char kChainBlock[16] = {};

std::unique_ptr<platform::RandomAccessFile> OpenStoreFile(const std::string& folder,
                                                          const char* name, int* error) {
  *error = 0;
  if (folder.empty()) {
    *error = ENOENT;
    return nullptr;
  }
  std::string path = folder + "/" + name;
  if (path.size() > 260) {
    *error = ENAMETOOLONG;
    return nullptr;
  }
  auto file = platform::PosixFile::OpenExclusive(path);
  if (!file) *error = errno;
  return file;
}

tagFILE_HEADER NewHeader() {
  tagFILE_HEADER h{};
  h.slot.kind = kKindHeader;
  h.slot.state = kStateLive;
  h.slot.time = platform::GetLocalTime();
  h.version = kFormatVersion;
  h.slotSize = kSlotSize;
  std::memcpy(h.text, kHeaderText, sizeof(h.text));
  h.securityLevel = kDefaultSecurityLevel;
  return h;
}

bool HeaderPasses(const tagFILE_HEADER& h) {
  return h.slot.slotNumber == 0 && h.slot.kind == kKindHeader && h.slot.state == kStateLive &&
         h.version <= kMaxFormatVersion && h.slotSize <= kSlotSize &&
         std::memcmp(h.text, kHeaderText, sizeof(h.text)) == 0;
}

tagFILE_HEADER& AsHeader(tagSLOT& slot) {
  return reinterpret_cast<tagFILE_HEADER&>(slot);
}

// Key match of a stored payload against a key record of the same kind.
bool KeyMatches(uint32_t kind, const uint8_t* stored, const void* key) {
  switch (kind) {
    case kKindProgram:
      return SameProgramKey(*reinterpret_cast<const tagFIREWALL_PROGRAM*>(stored),
                            *static_cast<const tagFIREWALL_PROGRAM*>(key));
    case kKindPortIp:
      return SamePortIpKey(*reinterpret_cast<const tagFIREWALL_PORTIP*>(stored),
                           *static_cast<const tagFIREWALL_PORTIP*>(key));
    case kKindSharedFolder:
      return SameSharedFolderKey(*reinterpret_cast<const tagFIREWALL_SHARED_FOLDER*>(stored),
                                 *static_cast<const tagFIREWALL_SHARED_FOLDER*>(key));
    default:
      return false;
  }
}

// Bytes of a slot that hold the key of its kind, rounded up to whole cipher blocks.
size_t KeyBytesOf(uint32_t kind) {
  size_t payload = 0;
  switch (kind) {
    case kKindProgram:
      payload = offsetof(tagFIREWALL_PROGRAM, path) + kProgramPathLimit;
      break;
    case kKindPortIp:
      payload = offsetof(tagFIREWALL_PORTIP, description);
      break;
    default:
      payload = PayloadSizeOf(kind);
      break;
  }
  size_t end = kSlotHeaderSize + payload;
  return (end + kCipherBlock - 1) / kCipherBlock * kCipherBlock;
}

// The "action" of a program or shared-folder payload: both start with an i16 action and keep
// the policy slot at offset 4.
int16_t PayloadAction(const uint8_t* payload) {
  int16_t action;
  std::memcpy(&action, payload, sizeof(action));
  return action;
}

void SetPayloadPolicySlot(uint8_t* payload, int32_t slot) {
  std::memcpy(payload + offsetof(tagFIREWALL_PROGRAM, policySlot), &slot, sizeof(slot));
}

int32_t PayloadPolicySlot(const uint8_t* payload) {
  int32_t slot;
  std::memcpy(&slot, payload + offsetof(tagFIREWALL_PROGRAM, policySlot), sizeof(slot));
  return slot;
}

// Works on a copy of the record's type, since the slot's payload bytes are not aligned for it.
template <typename Record>
void ClearUnusedBytesOf(uint8_t* payload) {
  Record record;
  std::memcpy(&record, payload, sizeof(record));
  ClearUnusedBytes(record);
  std::memcpy(payload, &record, sizeof(record));
}

void ClearUnusedBytes(uint32_t kind, uint8_t* payload) {
  switch (kind) {
    case kKindProgram:
      return ClearUnusedBytesOf<tagFIREWALL_PROGRAM>(payload);
    case kKindPortIp:
      return ClearUnusedBytesOf<tagFIREWALL_PORTIP>(payload);
    case kKindPolicyTable:
      return ClearUnusedBytesOf<tagPOLICY_TABLE>(payload);
    case kKindSharedFolder:
      return ClearUnusedBytesOf<tagFIREWALL_SHARED_FOLDER>(payload);
    default:
      return;
  }
}

bool HasPolicyTable(uint32_t kind) {
  return kind == kKindProgram || kind == kKindSharedFolder;
}

}  // namespace

CDBManager& CDBManager::GetInstance() {
  static CDBManager instance(platform::FirewallDataFolder(), kFirstOpenWait);
  return instance;
}

CDBManager::CDBManager(const std::string& folder) : CDBManager(folder, {}) {}

CDBManager::CDBManager(const std::string& folder, std::chrono::milliseconds waitForHolder)
    : rules_(nullptr, &cipher_), journal_(nullptr, &cipher_), cache_(new CDBCache) {
  cipher_.MakeKey(kRuleFileKey, kChainBlock, 16, 16);
  if (!folder.empty()) rule_path_ = folder + "/QLFW.dat";
  const auto deadline = std::chrono::steady_clock::now() + waitForHolder;
  bool told = false;
  for (;;) {
    auto rules = OpenStoreFile(folder, "QLFW.dat", &rule_open_errno_);
    auto journal = OpenStoreFile(folder, "QLFW.log", &journal_open_errno_);
    const bool busy = rule_open_errno_ == EWOULDBLOCK || journal_open_errno_ == EWOULDBLOCK;
    if (!busy || std::chrono::steady_clock::now() >= deadline) {
      rules_.Attach(std::move(rules));
      journal_.Attach(std::move(journal));
      break;
    }
    // Another program has the files. qxfwctl holds them only for one operation, so it is
    // waited for; a running firewall program is not going to let go.
    std::string busyPath = folder + (rule_open_errno_ == EWOULDBLOCK ? "/QLFW.dat" : "/QLFW.log");
    std::optional<platform::LockHolder> holder = platform::LockHolderOf(busyPath);
    if (holder && holder->program == kFirewallProgram) {
      rules_.Attach(std::move(rules));
      journal_.Attach(std::move(journal));
      break;
    }
    if (!told) {
      platform::DebugOutput("[Firewall] DBManager: rule data file held by %s (pid %d), waiting",
                            holder ? holder->program.c_str() : "another program",
                            holder ? static_cast<int>(holder->pid) : 0);
      told = true;
    }
    rules.reset();
    journal.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Open();
}

CDBManager::CDBManager(std::unique_ptr<platform::RandomAccessFile> ruleFile,
                       std::unique_ptr<platform::RandomAccessFile> journal)
    : rules_(nullptr, &cipher_), journal_(nullptr, &cipher_), cache_(new CDBCache) {
  cipher_.MakeKey(kRuleFileKey, kChainBlock, 16, 16);
  rules_.Attach(std::move(ruleFile));
  journal_.Attach(std::move(journal));
  Open();
}

CDBManager::~CDBManager() = default;

void CDBManager::Open() {
  if (!rules_.IsOpen() || !journal_.IsOpen()) return;
  if (!TestHeader(rules_) || !TestHeader(journal_)) return;
  RepairCounters();
  ReloadCache();
}

bool CDBManager::TestHeader(CSlotFile& file) {
  tagSLOT slot;
  if (file.ReadSlot(0, &slot) && HeaderPasses(AsHeader(slot))) return true;
  platform::DebugOutput(
      "[Firewall] DBManager: Header Record not existed or corrupted. Truncating the DB");
  int64_t size = file.Size();
  uint64_t cut = size < 0 ? 0 : static_cast<uint64_t>(size);
  if (cut > kSlotSize) cut = kSlotSize;
  file.Truncate(cut);
  tagFILE_HEADER header = NewHeader();
  return file.WriteSlot(0, reinterpret_cast<const tagSLOT&>(header));
}

void CDBManager::ReloadCache() {
  cache_->Reload(rules_);
}

bool CDBManager::BumpCounter(CSlotFile& file, int delta, uint32_t* counter) {
  tagSLOT slot;
  if (!file.ReadSlot(0, &slot)) return false;
  tagFILE_HEADER& header = AsHeader(slot);
  header.recordCounter += static_cast<uint32_t>(delta);
  if (counter != nullptr) *counter = header.recordCounter;
  return file.WriteSlot(0, slot);
}

bool CDBManager::WriteNewSlot(CSlotFile& file, uint32_t number, const tagSLOT& slot) {
  const int64_t before = file.Size();
  if (file.WriteSlot(number, slot)) return true;
  // A write cut short past the old end (a full disk) leaves the first blocks of the slot, its
  // header among them, and would read back as a live record; the file is cut back.
  if (before >= 0 && static_cast<uint64_t>(number) * kSlotSize >= static_cast<uint64_t>(before)) {
    file.Truncate(static_cast<uint64_t>(before));
  }
  return false;
}

void CDBManager::RepairCounters() {
  // A full disk or a crash between the steps of a change can leave a counter that disagrees
  // with the records; the records are what was written, so the counters follow them.
  uint32_t live = 0;
  std::vector<uint32_t> tables;
  std::vector<uint32_t> named;
  alignas(16) tagSLOT slot;
  rules_.Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
    rules_.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&slot), 0, kSlotSize);
    if (slot.header.state != kStateLive) return true;
    ++live;
    if (slot.header.kind == kKindPolicyTable) tables.push_back(n);
    if (HasPolicyTable(slot.header.kind) && PayloadAction(slot.payload) == kActionPolicy) {
      named.push_back(static_cast<uint32_t>(PayloadPolicySlot(slot.payload)));
    }
    return true;
  });
  // A table that no live record names was left by a change that could not finish; nothing
  // can reach it, so it is freed.
  std::sort(named.begin(), named.end());
  for (uint32_t table : tables) {
    if (std::binary_search(named.begin(), named.end(), table)) continue;
    if (!rules_.ReadSlot(table, &slot)) continue;
    slot.header.state = kStateDeleted;
    if (rules_.WriteSlot(table, slot)) {
      platform::DebugOutput("[Firewall] DBManager: policy table in slot %u named by no rule, freed",
                            table);
      --live;
    }
  }
  if (rules_.ReadSlot(0, &slot) && AsHeader(slot).recordCounter != live) {
    platform::DebugOutput("[Firewall] DBManager: record counter %u of the rule file repaired to %u",
                          AsHeader(slot).recordCounter, live);
    AsHeader(slot).recordCounter = live;
    rules_.WriteSlot(0, slot);
  }
  const uint32_t count = journal_.SlotCount();
  const uint32_t last = count > 1 ? count - 1 : 0;
  if (journal_.ReadSlot(0, &slot) && AsHeader(slot).recordCounter != last) {
    platform::DebugOutput("[Firewall] DBManager: record counter %u of the journal repaired to %u",
                          AsHeader(slot).recordCounter, last);
    AsHeader(slot).recordCounter = last;
    journal_.WriteSlot(0, slot);
  }
}

void CDBManager::Journal(const tagSLOT& copy, JournalLink link) {
  if (deferring_) {
    pending_.push_back({copy, link});
    return;
  }
  WriteJournalEntry(copy, link);
}

bool CDBManager::WriteJournalEntry(tagSLOT entry, JournalLink link) {
  // The sequence number is the entry's own slot, so a lookup by number finds exactly it,
  // whatever became of earlier entries; the counter moves only once the entry is written.
  const uint32_t count = journal_.SlotCount();
  const uint32_t sequence = count > 1 ? count : 1;
  entry.header.slotNumber = sequence;
  if (link == JournalLink::kPreviousEntry) {
    SetPayloadPolicySlot(entry.payload, static_cast<int32_t>(last_journal_entry_));
  }
  last_journal_entry_ = 0;
  if (!WriteNewSlot(journal_, sequence, entry)) {
    platform::DebugOutput("[Firewall] DBManager: journal entry %u could not be written", sequence);
    return false;
  }
  tagSLOT header;
  if (journal_.ReadSlot(0, &header)) {
    AsHeader(header).recordCounter = sequence;
    journal_.WriteSlot(0, header);
  }
  last_journal_entry_ = sequence;
  return true;
}

void CDBManager::FlushJournal(std::vector<PendingEntry> entries) {
  pending_.clear();
  deferring_ = false;
  for (const PendingEntry& entry : entries) WriteJournalEntry(entry.slot, entry.link);
}

uint32_t CDBManager::AddData(const void* payload, uint32_t kind, bool withinModification) {
  if (!rules_.IsOpen()) {
    platform::DebugOutput("DBManager:: File handle is INVALID");
    return 0;
  }
  // Both headers must be readable before anything is written.
  tagSLOT header;
  if (!rules_.ReadSlot(0, &header) || !journal_.ReadSlot(0, &header)) return 0;
  // The first slot that is not live: a deleted slot is reused, else the record is appended.
  uint32_t number = 0;
  rules_.Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
    tagSLOT_HEADER slotHeader;
    rules_.DecryptHeader(ciphertext, &slotHeader);
    if (slotHeader.state == kStateLive) return true;
    number = n;
    return false;
  });
  if (number == 0) number = rules_.SlotCount() > 1 ? rules_.SlotCount() : 1;

  tagSLOT slot{};
  slot.header.slotNumber = number;
  slot.header.kind = kind;
  slot.header.state = kStateLive;
  slot.header.operation = kOpRuleFile;
  slot.header.time = platform::GetLocalTime();
  std::memcpy(slot.payload, payload, PayloadSizeOf(kind));
  ClearUnusedBytes(kind, slot.payload);
  if (!WriteNewSlot(rules_, number, slot)) return 0;
  // Counted only once written; a counter that failed to move is repaired on the next open.
  BumpCounter(rules_, +1, nullptr);

  // The journal copy; a program's table is always journalled just before the program.
  slot.header.operation = withinModification ? kOpModified : kOpAdded;
  const bool linked = HasPolicyTable(kind) && PayloadAction(slot.payload) == kActionPolicy;
  Journal(slot, linked ? JournalLink::kPreviousEntry : JournalLink::kNone);

  if (!withinModification) ReloadCache();
  return number;
}

uint32_t CDBManager::DeleteData(const void* key, uint32_t kind, uint32_t number,
                                bool withinModification) {
  if (!rules_.IsOpen()) {
    platform::DebugOutput("DBManager:: File handle is INVALID");
    return 0;
  }
  tagSLOT slot;
  if (number == 0 || !rules_.ReadSlot(number, &slot)) return 0;
  if (kind == kKindPolicyTable) {
    if (slot.header.kind != kKindPolicyTable) return 0;
  } else if (slot.header.kind != kind || !KeyMatches(kind, slot.payload, key)) {
    return 0;
  }

  // The record goes first, its table after it: a live record never names a freed slot that
  // the next add could give to another record's table.
  tagSLOT copy = slot;
  slot.header.state = kStateDeleted;
  if (!rules_.WriteSlot(number, slot)) return 0;
  BumpCounter(rules_, -1, nullptr);

  JournalLink link = JournalLink::kNone;
  if (HasPolicyTable(kind) && PayloadAction(copy.payload) == kActionPolicy) {
    uint32_t table = static_cast<uint32_t>(PayloadPolicySlot(copy.payload));
    bool journalled =
        table != 0 && DeleteData(nullptr, kKindPolicyTable, table, withinModification) != 0;
    if (journalled) {
      link = JournalLink::kPreviousEntry;
    } else {
      SetPayloadPolicySlot(copy.payload, 0);
    }
  }
  copy.header.state = kStateDeleted;
  copy.header.time = platform::GetLocalTime();
  copy.header.operation = withinModification ? kOpModified : kOpDeleted;
  Journal(copy, link);

  if (!withinModification) ReloadCache();
  return number;
}

uint32_t CDBManager::FindData(void* record, const void* excluded, uint32_t kind) {
  const size_t keyBytes = KeyBytesOf(kind);
  const size_t payloadSize = PayloadSizeOf(kind);
  uint32_t found = 0;
  alignas(16) tagSLOT plain;
  rules_.Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
    rules_.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&plain), 0, kCipherBlock);
    if (plain.header.state != kStateLive || plain.header.kind != kind) return true;
    // Only the blocks that hold the key are decrypted until a slot matches.
    rules_.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&plain), kCipherBlock,
                       keyBytes - kCipherBlock);
    if (excluded != nullptr && KeyMatches(kind, plain.payload, excluded)) return true;
    if (!KeyMatches(kind, plain.payload, record)) return true;
    rules_.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&plain), 0, kSlotSize);
    std::memcpy(record, plain.payload, payloadSize);
    found = n;
    return false;
  });
  return found;
}

bool CDBManager::AddPolicyTableFor(void* record, uint32_t kind, const tagPOLICY_TABLE* table,
                                   bool withinModification) {
  auto* payload = static_cast<uint8_t*>(record);
  if (!HasPolicyTable(kind) || PayloadAction(payload) != kActionPolicy) {
    SetPayloadPolicySlot(payload, 0);
    return true;
  }
  uint32_t slot = AddData(table, kKindPolicyTable, withinModification);
  if (slot == 0) return false;
  SetPayloadPolicySlot(payload, static_cast<int32_t>(slot));
  return true;
}

uint32_t CDBManager::ModifyData(const void* oldRecord, uint32_t oldSlot, void* newRecord,
                                uint32_t kind, const tagPOLICY_TABLE* table) {
  // The new record's table is checked before anything is written, so a bad table never costs
  // the user the old rule.
  auto* newPayload = static_cast<uint8_t*>(newRecord);
  const bool needsTable = HasPolicyTable(kind) && PayloadAction(newPayload) == kActionPolicy;
  if (needsTable && (table == nullptr || !IsValidPolicyTable(*table))) return 0;

  tagSLOT old;
  if (!rules_.IsOpen() || oldSlot == 0 || !rules_.ReadSlot(oldSlot, &old) ||
      old.header.kind != kind || old.header.state != kStateLive ||
      !KeyMatches(kind, old.payload, oldRecord)) {
    platform::DebugOutput("On CDBManager::ModifyData() Fail to Delete");
    return 0;
  }

  // New before old: the new table goes to a free slot, the new record over the old one in a
  // single slot write, and only then is the old table freed. A step that fails (a full disk)
  // leaves the old rule in place and no table behind. The journal entries wait until the
  // rule file holds the change and keep their order: old table, old record, new table, new
  // record.
  deferring_ = true;
  pending_.clear();
  auto giveUp = [this] {
    pending_.clear();
    deferring_ = false;
    ReloadCache();
    return 0u;
  };
  if (!AddPolicyTableFor(newRecord, kind, table, true)) {
    platform::DebugOutput("On CDBManager::ModifyData() Fail to Write");
    return giveUp();
  }
  const size_t newTableEntries = pending_.size();
  tagSLOT slot{};
  slot.header.slotNumber = oldSlot;
  slot.header.kind = kind;
  slot.header.state = kStateLive;
  slot.header.operation = kOpRuleFile;
  slot.header.time = platform::GetLocalTime();
  std::memcpy(slot.payload, newPayload, PayloadSizeOf(kind));
  ClearUnusedBytes(kind, slot.payload);
  if (!rules_.WriteSlot(oldSlot, slot)) {
    platform::DebugOutput("On CDBManager::ModifyData() Fail to Write");
    if (needsTable) {
      DeleteData(nullptr, kKindPolicyTable, static_cast<uint32_t>(PayloadPolicySlot(newPayload)),
                 true);
    }
    return giveUp();
  }

  JournalLink oldLink = JournalLink::kNone;
  if (HasPolicyTable(kind) && PayloadAction(old.payload) == kActionPolicy) {
    uint32_t oldTable = static_cast<uint32_t>(PayloadPolicySlot(old.payload));
    if (oldTable != 0 && DeleteData(nullptr, kKindPolicyTable, oldTable, true) != 0) {
      oldLink = JournalLink::kPreviousEntry;
    } else {
      SetPayloadPolicySlot(old.payload, 0);
    }
  }
  old.header.state = kStateDeleted;
  old.header.time = slot.header.time;
  old.header.operation = kOpModified;
  slot.header.operation = kOpModified;

  std::vector<PendingEntry> entries(pending_.begin() + static_cast<ptrdiff_t>(newTableEntries),
                                    pending_.end());
  entries.push_back({old, oldLink});
  entries.insert(entries.end(), pending_.begin(),
                 pending_.begin() + static_cast<ptrdiff_t>(newTableEntries));
  entries.push_back({slot, needsTable ? JournalLink::kPreviousEntry : JournalLink::kNone});
  FlushJournal(std::move(entries));
  ReloadCache();
  return oldSlot;
}

int CDBManager::AddProgram(tagFIREWALL_PROGRAM& program, const tagPOLICY_TABLE* table) {
  if (!IsValidProgram(program)) return 0;
  tagFIREWALL_PROGRAM existing = program;
  if (FindData(&existing, nullptr, kKindProgram) != 0) return 0;
  if (program.action == kActionPolicy && (table == nullptr || !IsValidPolicyTable(*table))) {
    return 0;
  }
  if (!AddPolicyTableFor(&program, kKindProgram, table, false)) return 0;
  uint32_t slot = AddData(&program, kKindProgram, false);
  if (slot == 0 && program.policySlot != 0) {
    // Do not leave a table behind that no program names.
    DeleteData(nullptr, kKindPolicyTable, static_cast<uint32_t>(program.policySlot), false);
    program.policySlot = 0;
  }
  return static_cast<int>(slot);
}

int CDBManager::DeleteProgram(tagFIREWALL_PROGRAM& program) {
  if (!IsValidProgram(program)) return 0;
  tagFIREWALL_PROGRAM key = program;
  uint32_t slot = FindData(&key, nullptr, kKindProgram);
  if (slot == 0) return 0;
  return static_cast<int>(DeleteData(&key, kKindProgram, slot, false));
}

int CDBManager::ModifyProgram(tagFIREWALL_PROGRAM& oldProgram, tagFIREWALL_PROGRAM& newProgram,
                              const tagPOLICY_TABLE* table) {
  if (!IsValidProgram(oldProgram) || !IsValidProgram(newProgram)) return 0;
  tagFIREWALL_PROGRAM probe = oldProgram;
  const uint32_t oldSlot = FindData(&probe, nullptr, kKindProgram);
  if (oldSlot == 0) return 0;
  probe = newProgram;
  if (FindData(&probe, &oldProgram, kKindProgram) != 0) return 0;
  return static_cast<int>(ModifyData(&oldProgram, oldSlot, &newProgram, kKindProgram, table));
}

int CDBManager::AddPortIp(tagFIREWALL_PORTIP& rule) {
  if (!IsValidPortIp(rule)) return 0;
  tagFIREWALL_PORTIP existing = rule;
  if (FindData(&existing, nullptr, kKindPortIp) != 0) return 0;
  return static_cast<int>(AddData(&rule, kKindPortIp, false));
}

int CDBManager::DeletePortIp(tagFIREWALL_PORTIP& rule) {
  if (!IsValidPortIp(rule)) return 0;
  tagFIREWALL_PORTIP key = rule;
  uint32_t slot = FindData(&key, nullptr, kKindPortIp);
  if (slot == 0) return 0;
  return static_cast<int>(DeleteData(&key, kKindPortIp, slot, false));
}

int CDBManager::ModifyPortIp(tagFIREWALL_PORTIP& oldRule, tagFIREWALL_PORTIP& newRule) {
  if (!IsValidPortIp(oldRule) || !IsValidPortIp(newRule)) return 0;
  tagFIREWALL_PORTIP probe = oldRule;
  const uint32_t oldSlot = FindData(&probe, nullptr, kKindPortIp);
  if (oldSlot == 0) return 0;
  probe = newRule;
  if (FindData(&probe, &oldRule, kKindPortIp) != 0) return 0;
  return static_cast<int>(ModifyData(&oldRule, oldSlot, &newRule, kKindPortIp, nullptr));
}

int CDBManager::SetSecurityLevel(uint32_t level) {
  if (level > 4 || !rules_.IsOpen() || !TestHeader(rules_)) return 0;
  tagSLOT slot;
  if (!rules_.ReadSlot(0, &slot)) return 0;
  AsHeader(slot).securityLevel = level;
  return rules_.WriteSlot(0, slot) ? 1 : 0;
}

uint32_t CDBManager::GetSecurityLevel() {
  tagSLOT slot;
  if (!rules_.ReadSlot(0, &slot)) return kDefaultSecurityLevel;
  uint32_t level = AsHeader(slot).securityLevel;
  return level >= 1 && level <= 4 ? level : kDefaultSecurityLevel;
}

int CDBManager::Select(int type) {
  last_select_ = type;
  last_select_found_ = false;
  switch (type) {
    case kSelectRuleFile:
      journal_mode_ = false;
      cache_->ResetCursor();
      return 0;
    case kSelectJournal:
      journal_mode_ = true;
      program_cursor_ = portip_cursor_ = folder_cursor_ = 0;
      return 1;
    case kSelectProgram:
    case kSelectPortIp:
    case kSelectSharedFolder: {
      uint32_t kind = type == kSelectProgram  ? kKindProgram
                      : type == kSelectPortIp ? kKindPortIp
                                              : kKindSharedFolder;
      if (journal_mode_) {
        uint32_t* cursor = type == kSelectProgram  ? &program_cursor_
                           : type == kSelectPortIp ? &portip_cursor_
                                                   : &folder_cursor_;
        last_select_found_ = JournalNext(kind, cursor);
      } else {
        last_select_found_ = cache_->Next(kind);
      }
      return last_select_found_ ? 1 : 0;
    }
    default:
      if (journal_mode_) {
        program_cursor_ = portip_cursor_ = folder_cursor_ = 0;
        return 1;
      }
      cache_->ResetCursor();
      return 0;
  }
}

bool CDBManager::JournalNext(uint32_t kind, uint32_t* cursor) {
  tagSLOT slot;
  if (!journal_.ReadSlot(0, &slot)) return false;
  // Entries of other kinds are passed over; the walk yields the processor every batch of them,
  // as the scans of the rule file do.
  constexpr uint32_t kYieldEvery = 128;
  uint32_t passed = 0;
  for (uint32_t n = *cursor + 1; journal_.ReadSlot(n, &slot); ++n) {
    if (slot.header.kind == kind) {
      journal_entry_ = slot;
      journal_op_ = slot.header.operation;
      journal_time_ = slot.header.time;
      *cursor = n;
      return true;
    }
    if (++passed % kYieldEvery == 0) sched_yield();
  }
  *cursor = 0;
  return false;
}

template <typename Record>
int CDBManager::GetCurrent(int selectType, uint32_t kind, Record* out) {
  const bool ok = last_select_ == selectType && last_select_found_;
  if (journal_mode_) {
    if (!ok || journal_entry_.header.kind != kind) {
      std::memset(out, 0, sizeof(*out));
      platform::SetLastError(kErrorInvalidBlock);
      return 0;
    }
    std::memcpy(out, journal_entry_.payload, sizeof(*out));
    return 1;
  }
  const tagSLOT* slot = ok ? cache_->Slot(cache_->Cursor()) : nullptr;
  if (slot == nullptr || slot->header.kind != kind) return 0;
  std::memcpy(out, slot->payload, sizeof(*out));
  return 1;
}

int CDBManager::GetProgram(tagFIREWALL_PROGRAM* program) {
  return GetCurrent(kSelectProgram, kKindProgram, program);
}

int CDBManager::GetPortIp(tagFIREWALL_PORTIP* rule) {
  return GetCurrent(kSelectPortIp, kKindPortIp, rule);
}

int CDBManager::GetSharedFolder(tagFIREWALL_SHARED_FOLDER* folder) {
  return GetCurrent(kSelectSharedFolder, kKindSharedFolder, folder);
}

int CDBManager::GetPolicy(tagPOLICY_TABLE* table, uint32_t slot) {
  if (journal_mode_) {
    tagSLOT entry;
    if (slot == 0 || !journal_.ReadSlot(slot, &entry)) return 0;
    if (entry.header.kind != kKindPolicyTable || entry.header.slotNumber != slot) return 0;
    std::memcpy(table, entry.payload, sizeof(*table));
    return 1;
  }
  // Only a live table: a freed slot may be handed to another program's table next.
  const tagSLOT* stored = cache_->Slot(slot);
  if (stored == nullptr || stored->header.kind != kKindPolicyTable ||
      stored->header.state != kStateLive || stored->header.slotNumber != slot) {
    return 0;
  }
  std::memcpy(table, stored->payload, sizeof(*table));
  return 1;
}

}  // namespace qxfw::store
