#include "store/db_manager.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/debug_output.h"
#include "platform/file.h"
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

bool IsRecordKind(uint32_t kind) {
  return kind == kKindProgram || kind == kKindPortIp || kind == kKindSharedFolder ||
         kind == kKindPolicyTable;
}

// A slot whose header could have been written by a store: a record kind and state, and in the
// rule file its own number (journal entries of old files may be numbered otherwise).
bool SlotLooksWritten(const tagSLOT_HEADER& h, uint32_t number, bool ruleFile) {
  if (!IsRecordKind(h.kind) || (h.state != kStateLive && h.state != kStateDeleted)) return false;
  return !ruleFile || h.slotNumber == number;
}

// The level of a damaged header, when the cipher block that holds it (bytes 96-111: twelve
// zero bytes, then the level) is intact. ECB keeps the damage of one byte in its own block.
bool LevelOfDamagedHeader(const tagFILE_HEADER& h, uint32_t* level) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&h);
  for (size_t i = 96; i < offsetof(tagFILE_HEADER, securityLevel); ++i) {
    if (bytes[i] != 0) return false;
  }
  if (h.securityLevel < 1 || h.securityLevel > 4) return false;
  *level = h.securityLevel;
  return true;
}

// The header blocks that change after a header is made: the counter's and the level's.
constexpr size_t kCounterBlock =
    offsetof(tagFILE_HEADER, recordCounter) / kCipherBlock * kCipherBlock;
constexpr size_t kLevelBlock =
    offsetof(tagFILE_HEADER, securityLevel) / kCipherBlock * kCipherBlock;

// A change writes at most four journal entries: old table, old record, new table, new record.
constexpr uint32_t kMaxEntriesPerChange = 4;

// Payload bytes of a record with the policy slot cleared: the rule file and the journal name
// a record's table differently (slot number, entry number).
std::string ComparablePayload(uint32_t kind, const uint8_t* payload) {
  std::string bytes(reinterpret_cast<const char*>(payload), PayloadSizeOf(kind));
  if (HasPolicyTable(kind)) {
    std::memset(bytes.data() + offsetof(tagFIREWALL_PROGRAM, policySlot), 0, sizeof(int32_t));
  }
  return bytes;
}

}  // namespace

CDBManager& CDBManager::GetInstance() {
  static CDBManager instance(platform::FirewallDataFolder(), kFirstOpenWait);
  return instance;
}

CDBManager::CDBManager(const std::string& folder, StoreAccess access)
    : CDBManager(folder, {}, access) {}

CDBManager::CDBManager(const std::string& folder, std::chrono::milliseconds waitForHolder,
                       StoreAccess access)
    : rules_(nullptr, &cipher_),
      journal_(nullptr, &cipher_),
      cache_(new CDBCache),
      folder_(folder),
      access_(access) {
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
                       std::unique_ptr<platform::RandomAccessFile> journal, StoreAccess access,
                       const std::string& setAsideFolder)
    : rules_(nullptr, &cipher_),
      journal_(nullptr, &cipher_),
      cache_(new CDBCache),
      folder_(setAsideFolder),
      access_(access) {
  cipher_.MakeKey(kRuleFileKey, kChainBlock, 16, 16);
  rules_.Attach(std::move(ruleFile));
  journal_.Attach(std::move(journal));
  Open();
}

CDBManager::~CDBManager() = default;

void CDBManager::Open() {
  if (!rules_.IsOpen() || !journal_.IsOpen()) return;
  tagSLOT ruleHeader;
  tagSLOT journalHeader;
  const HeaderState ruleState = ExamineHeader(rules_, &ruleHeader);
  const HeaderState journalState = ExamineHeader(journal_, &journalHeader);
  damage_.ruleHeader = ruleState == HeaderState::kDamaged;
  damage_.journalHeader = journalState == HeaderState::kDamaged;
  uint32_t level = kDefaultSecurityLevel;
  if (damage_.ruleHeader && !LevelOfDamagedHeader(AsHeader(ruleHeader), &level)) {
    damage_.levelLost = true;
  }

  if (access_ == StoreAccess::kReadWrite) {
    // A new (empty) file gets its header; a damaged one is copied aside before anything else.
    bool ready = true;
    for (auto [file, state] : {std::pair{&rules_, ruleState}, std::pair{&journal_, journalState}}) {
      if (state != HeaderState::kEmpty) continue;
      platform::DebugOutput(
          "[Firewall] DBManager: Header Record not existed or corrupted. Truncating the DB");
      ready = WriteHeader(*file, kDefaultSecurityLevel, 0) && ready;
    }
    if (ready && damage_.Any()) ready = RepairDamage(level);
    if (ready) {
      SettleJournal();
      RepairCounters();
      writable_ = true;
    }
  } else if (!damage_.Any()) {
    SettleJournal();
  }
  ReloadCache();

  if (!damage_.Any()) return;
  for (uint32_t n = 1; n < cache_->LoadedCount(); ++n) {
    const tagSLOT* slot = cache_->Slot(n);
    if (slot == nullptr) continue;
    if (!SlotLooksWritten(slot->header, n, true)) {
      ++damage_.slotsLost;
    } else if (slot->header.state == kStateLive && slot->header.kind != kKindPolicyTable) {
      ++damage_.rulesKept;
    }
  }
  const uint32_t entries = journal_.SlotCount();
  damage_.journalKept = std::min(entries > 0 ? entries - 1 : 0, journal_end_);
  platform::DebugOutputText("[Firewall] DBManager: " + DescribeDamage(damage_, folder_));
}

CDBManager::HeaderState CDBManager::ExamineHeader(CSlotFile& file, tagSLOT* header) {
  std::memset(header, 0, sizeof(*header));
  if (file.Size() == 0) return HeaderState::kEmpty;
  if (file.ReadSlot(0, header) && HeaderPasses(AsHeader(*header))) return HeaderState::kSound;
  return HeaderState::kDamaged;
}

bool CDBManager::WriteHeader(CSlotFile& file, uint32_t level, uint32_t counter) {
  tagFILE_HEADER header = NewHeader();
  header.securityLevel = level;
  header.recordCounter = counter;
  return file.WriteSlot(0, reinterpret_cast<const tagSLOT&>(header)) && file.Sync();
}

std::string CDBManager::SetAside(CSlotFile& file, const char* name) {
  if (folder_.empty()) return {};
  const int64_t size = file.Size();
  if (size < 0) return {};
  // A copy from an earlier repair is never overwritten: it may hold rules this one lacks.
  for (int i = 1; i <= 99; ++i) {
    std::string path = folder_ + "/" + name + ".bad" + (i > 1 ? "." + std::to_string(i) : "");
    platform::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
      if (errno == EEXIST) continue;
      return {};
    }
    std::vector<uint8_t> buffer(1u << 16);
    bool copied = true;
    for (uint64_t at = 0; copied && at < static_cast<uint64_t>(size);) {
      int64_t n = file.ReadRaw(at, buffer.data(), buffer.size());
      copied = n > 0 && platform::WriteAll(fd.Get(), buffer.data(), static_cast<size_t>(n));
      at += n > 0 ? static_cast<uint64_t>(n) : 0;
    }
    if (!copied || ::fsync(fd.Get()) != 0) {
      const int error = errno;
      ::unlink(path.c_str());
      errno = error;
      return {};
    }
    fd.Reset();
    // The copy's name must be on disk before the original changes.
    platform::UniqueFd dir(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) ::fsync(dir.Get());
    return path;
  }
  errno = EEXIST;
  return {};
}

bool CDBManager::RepairDamage(uint32_t level) {
  // Both copies first: until they are safe, neither file is touched.
  struct Damaged {
    CSlotFile* file;
    const char* name;
    std::string* setAside;
    bool ruleFile;
  };
  std::vector<Damaged> damaged;
  if (damage_.ruleHeader) damaged.push_back({&rules_, "QLFW.dat", &damage_.ruleSetAside, true});
  if (damage_.journalHeader) {
    damaged.push_back({&journal_, "QLFW.log", &damage_.journalSetAside, false});
  }
  for (const Damaged& d : damaged) {
    *d.setAside = SetAside(*d.file, d.name);
    if (d.setAside->empty()) {
      damage_.repairError =
          std::string("cannot keep a copy of ") + d.name +
          (folder_.empty() ? std::string() : std::string(": ") + std::strerror(errno));
      return false;
    }
  }
  for (const Damaged& d : damaged) {
    // Slots after the last one that looks written are foreign bytes (a file that never was a
    // store): they are cut off. The ones before it are kept as they are.
    uint32_t lastWritten = 0;
    d.file->Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
      tagSLOT_HEADER h;
      d.file->DecryptHeader(ciphertext, &h);
      if (SlotLooksWritten(h, n, d.ruleFile)) lastWritten = n;
      return true;
    });
    const uint64_t keep = static_cast<uint64_t>(lastWritten + 1) * kSlotSize;
    const int64_t size = d.file->Size();
    if (size >= 0 && static_cast<uint64_t>(size) > keep && !d.file->Truncate(keep)) {
      damage_.repairError = std::string("cannot shorten ") + d.name;
      return false;
    }
    if (!WriteHeader(*d.file, d.ruleFile ? level : kDefaultSecurityLevel,
                     d.ruleFile ? 0 : lastWritten)) {
      damage_.repairError = std::string("cannot write the header of ") + d.name;
      return false;
    }
  }
  damage_.repaired = true;
  return true;
}

void CDBManager::ReloadCache() {
  cache_->Reload(rules_);
}

void CDBManager::SettleJournal() {
  tagSLOT slot;
  if (!journal_.ReadSlot(0, &slot)) return;
  const bool write = access_ == StoreAccess::kReadWrite;
  const uint32_t count = journal_.SlotCount();
  const uint32_t last = count > 1 ? count - 1 : 0;
  const uint32_t counter = AsHeader(slot).recordCounter;
  if (counter == last) return;
  if (counter > last) {
    // Older builds moved the counter before the entry was written.
    platform::DebugOutput("[Firewall] DBManager: record counter %u of the journal repaired to %u",
                          counter, last);
    if (write) {
      AsHeader(slot).recordCounter = last;
      if (journal_.WriteBlock(0, slot, kCounterBlock)) journal_.Sync();
    }
    return;
  }
  // Entries the counter does not cover yet: the change they describe was interrupted, or
  // only the counter's own write was. More than one change's worth comes only from older
  // files, whose entries always followed the rule file: they are kept.
  if (last - counter > kMaxEntriesPerChange || PendingChangeHeld(counter, last)) {
    if (write) {
      AsHeader(slot).recordCounter = last;
      if (journal_.WriteBlock(0, slot, kCounterBlock)) journal_.Sync();
    }
    return;
  }
  platform::DebugOutput(
      "[Firewall] DBManager: journal entries %u-%u describe a change the rule file does not "
      "hold (interrupted), dropped",
      counter + 1, last);
  if (write) {
    if (journal_.Truncate(static_cast<uint64_t>(counter + 1) * kSlotSize)) journal_.Sync();
  } else {
    journal_end_ = counter;
  }
}

bool CDBManager::PendingChangeHeld(uint32_t counter, uint32_t last) {
  std::vector<tagSLOT> entries(last - counter);
  for (uint32_t i = 0; i < entries.size(); ++i) {
    if (!journal_.ReadSlot(counter + 1 + i, &entries[i])) return false;
  }
  bool anyRecord = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const tagSLOT& entry = entries[i];
    const uint32_t kind = entry.header.kind;
    if (kind != kKindProgram && kind != kKindPortIp && kind != kKindSharedFolder) continue;
    anyRecord = true;
    // Only the last entry of a key says how the change left it.
    bool later = false;
    for (size_t j = i + 1; j < entries.size() && !later; ++j) {
      later = entries[j].header.kind == kind && KeyMatches(kind, entries[j].payload, entry.payload);
    }
    if (later) continue;
    tagSLOT live;
    const uint32_t at = FindLive(kind, entry.payload, &live);
    if (entry.header.state != kStateLive) {
      if (at != 0) return false;
      continue;
    }
    if (at == 0 ||
        ComparablePayload(kind, live.payload) != ComparablePayload(kind, entry.payload)) {
      return false;
    }
    if (!HasPolicyTable(kind) || PayloadAction(entry.payload) != kActionPolicy) continue;
    const auto tableEntry = static_cast<uint32_t>(PayloadPolicySlot(entry.payload));
    tagSLOT journalTable;
    tagSLOT ruleTable;
    if (tableEntry == 0 || !journal_.ReadSlot(tableEntry, &journalTable) ||
        !rules_.ReadSlot(static_cast<uint32_t>(PayloadPolicySlot(live.payload)), &ruleTable) ||
        ruleTable.header.state != kStateLive || ruleTable.header.kind != kKindPolicyTable ||
        std::memcmp(journalTable.payload, ruleTable.payload, sizeof(tagPOLICY_TABLE)) != 0) {
      return false;
    }
  }
  return anyRecord;
}

uint32_t CDBManager::FindLive(uint32_t kind, const uint8_t* key, tagSLOT* found) {
  uint32_t at = 0;
  alignas(16) tagSLOT plain;
  rules_.Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
    rules_.DecryptPart(ciphertext, reinterpret_cast<uint8_t*>(&plain), 0, kSlotSize);
    if (plain.header.state != kStateLive || plain.header.kind != kind) return true;
    if (!KeyMatches(kind, plain.payload, key)) return true;
    *found = plain;
    at = n;
    return false;
  });
  return at;
}

void CDBManager::RepairCounters() {
  // A full disk or a crash between the steps of a change can leave a counter that disagrees
  // with the records; the records are what was written, so the counter follows them.
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
  bool wrote = false;
  for (uint32_t table : tables) {
    if (std::binary_search(named.begin(), named.end(), table)) continue;
    if (!rules_.ReadSlot(table, &slot)) continue;
    slot.header.state = kStateDeleted;
    if (rules_.WriteSlot(table, slot)) {
      platform::DebugOutput("[Firewall] DBManager: policy table in slot %u named by no rule, freed",
                            table);
      --live;
      wrote = true;
    }
  }
  if (rules_.ReadSlot(0, &slot) && AsHeader(slot).recordCounter != live) {
    platform::DebugOutput("[Firewall] DBManager: record counter %u of the rule file repaired to %u",
                          AsHeader(slot).recordCounter, live);
    AsHeader(slot).recordCounter = live;
    wrote = rules_.WriteBlock(0, slot, kCounterBlock) || wrote;
  }
  if (wrote) rules_.Sync();
}

bool CDBManager::WritesAllowed() {
  if (!rules_.IsOpen()) {
    platform::DebugOutput("DBManager:: File handle is INVALID");
    return false;
  }
  if (!writable_) return false;
  // Headers damaged while the files were open are left for the next open to repair.
  tagSLOT header;
  for (CSlotFile* file : {&rules_, &journal_}) {
    if (!file->ReadSlot(0, &header) || !HeaderPasses(AsHeader(header))) {
      platform::DebugOutput(
          "[Firewall] DBManager: a header was damaged while open; nothing written");
      return false;
    }
  }
  return true;
}

bool CDBManager::AppendEntries(const Change& change, uint32_t* last) {
  const uint32_t count = journal_.SlotCount();
  uint32_t sequence = count > 1 ? count : 1;
  uint32_t previous = 0;
  for (const Change::Entry& e : change.entries) {
    // The sequence number is the entry's own slot, so a lookup by number finds exactly it.
    tagSLOT entry = e.slot;
    entry.header.slotNumber = sequence;
    if (e.link == JournalLink::kPreviousEntry) {
      SetPayloadPolicySlot(entry.payload, static_cast<int32_t>(previous));
    }
    if (!journal_.WriteSlot(sequence, entry)) {
      platform::DebugOutput("[Firewall] DBManager: journal entry %u could not be written",
                            sequence);
      return false;
    }
    previous = sequence;
    *last = sequence++;
  }
  return true;
}

bool CDBManager::Commit(const Change& change) {
  if (!WritesAllowed()) return false;
  const int64_t journalBefore = journal_.Size();
  const int64_t rulesBefore = rules_.Size();
  if (journalBefore < 0 || rulesBefore < 0) return false;
  auto dropEntries = [&] {
    if (journal_.Truncate(static_cast<uint64_t>(journalBefore))) journal_.Sync();
  };

  // 1. The journal, synced: from here a crash leaves entries the next open checks.
  tagSLOT header;
  if (!journal_.ReadSlot(0, &header)) return false;
  const uint32_t counter = AsHeader(header).recordCounter;
  uint32_t last = 0;
  if (!AppendEntries(change, &last) || !journal_.Sync()) {
    dropEntries();
    return false;
  }

  // 2. The rule file, synced. Its writes are ordered so that every prefix of them leaves a
  // consistent file; when one fails, the change counts if the file already holds it (a delete
  // whose table could not be freed), and is otherwise undone as far as the disk allows (a
  // table left behind is freed by the next open) and dropped from the journal.
  std::vector<tagSLOT> old(change.writes.size());
  size_t written = 0;
  bool ok = true;
  for (const Change::Write& w : change.writes) {
    rules_.ReadSlot(w.number, &old[written]);
    ++written;
    if (!rules_.WriteSlot(w.number, w.slot)) {
      ok = false;
      break;
    }
  }
  ok = rules_.Sync() && ok;
  if (!ok && !PendingChangeHeld(counter, last)) {
    for (size_t i = written; i-- > 0;) {
      const uint32_t n = change.writes[i].number;
      if (static_cast<uint64_t>(n) * kSlotSize < static_cast<uint64_t>(rulesBefore)) {
        rules_.WriteSlot(n, old[i]);
      }
    }
    if (rules_.Size() > rulesBefore) rules_.Truncate(static_cast<uint64_t>(rulesBefore));
    rules_.Sync();
    dropEntries();
    return false;
  }

  // 3. The counters. The journal's says the change is complete; either may fail to move and
  // is then put right on the next open.
  if (change.liveDelta != 0 && rules_.ReadSlot(0, &header)) {
    AsHeader(header).recordCounter += static_cast<uint32_t>(change.liveDelta);
    if (rules_.WriteBlock(0, header, kCounterBlock)) rules_.Sync();
  }
  if (journal_.ReadSlot(0, &header)) {
    AsHeader(header).recordCounter = last;
    if (journal_.WriteBlock(0, header, kCounterBlock)) journal_.Sync();
  }
  return true;
}

uint32_t CDBManager::FreeSlot(const std::vector<uint32_t>& taken) {
  auto isTaken = [&](uint32_t n) {
    return std::find(taken.begin(), taken.end(), n) != taken.end();
  };
  uint32_t number = 0;
  rules_.Scan(1, [&](uint32_t n, const uint8_t* ciphertext) {
    tagSLOT_HEADER slotHeader;
    rules_.DecryptHeader(ciphertext, &slotHeader);
    if (slotHeader.state == kStateLive || isTaken(n)) return true;
    number = n;
    return false;
  });
  if (number != 0) return number;
  number = rules_.SlotCount() > 1 ? rules_.SlotCount() : 1;
  while (isTaken(number)) ++number;
  return number;
}

tagSLOT CDBManager::RecordSlot(uint32_t number, uint32_t kind, const void* payload,
                               const platform::SYSTEMTIME& time) {
  tagSLOT slot{};
  slot.header.slotNumber = number;
  slot.header.kind = kind;
  slot.header.state = kStateLive;
  slot.header.operation = kOpRuleFile;
  slot.header.time = time;
  std::memcpy(slot.payload, payload, PayloadSizeOf(kind));
  ClearUnusedBytes(kind, slot.payload);
  return slot;
}

uint32_t CDBManager::AddRecord(void* payload, uint32_t kind, const tagPOLICY_TABLE* table) {
  auto* bytes = static_cast<uint8_t*>(payload);
  const bool needsTable = HasPolicyTable(kind) && PayloadAction(bytes) == kActionPolicy;
  const platform::SYSTEMTIME now = platform::GetLocalTime();
  Change change;
  // The table first, in the rule file and in the journal; the record names both.
  uint32_t tableSlot = 0;
  if (needsTable) {
    tableSlot = FreeSlot({});
    tagSLOT slot = RecordSlot(tableSlot, kKindPolicyTable, table, now);
    change.writes.push_back({tableSlot, slot});
    slot.header.operation = kOpAdded;
    change.entries.push_back({slot, JournalLink::kNone});
  }
  if (HasPolicyTable(kind)) SetPayloadPolicySlot(bytes, static_cast<int32_t>(tableSlot));
  const uint32_t number = FreeSlot({tableSlot});
  tagSLOT slot = RecordSlot(number, kind, payload, now);
  change.writes.push_back({number, slot});
  slot.header.operation = kOpAdded;
  change.entries.push_back({slot, needsTable ? JournalLink::kPreviousEntry : JournalLink::kNone});
  change.liveDelta = needsTable ? 2 : 1;

  const bool ok = Commit(change);
  if (!ok && HasPolicyTable(kind)) SetPayloadPolicySlot(bytes, 0);
  ReloadCache();
  return ok ? number : 0;
}

uint32_t CDBManager::DeleteRecord(const void* key, uint32_t kind, uint32_t number) {
  tagSLOT slot;
  if (!rules_.IsOpen() || number == 0 || !rules_.ReadSlot(number, &slot)) return 0;
  if (slot.header.kind != kind || !KeyMatches(kind, slot.payload, key)) return 0;
  const platform::SYSTEMTIME now = platform::GetLocalTime();
  Change change;
  // The record goes first, its table after it: a live record never names a freed slot that
  // the next add could give to another record's table. The journal has the table first.
  tagSLOT copy = slot;
  slot.header.state = kStateDeleted;
  change.writes.push_back({number, slot});
  change.liveDelta = -1;
  JournalLink link = JournalLink::kNone;
  if (HasPolicyTable(kind) && PayloadAction(copy.payload) == kActionPolicy) {
    const auto table = static_cast<uint32_t>(PayloadPolicySlot(copy.payload));
    tagSLOT tableSlot;
    if (table != 0 && table != number && rules_.ReadSlot(table, &tableSlot) &&
        tableSlot.header.kind == kKindPolicyTable) {
      tagSLOT tableCopy = tableSlot;
      if (tableSlot.header.state == kStateLive) --change.liveDelta;
      tableSlot.header.state = kStateDeleted;
      change.writes.push_back({table, tableSlot});
      tableCopy.header.state = kStateDeleted;
      tableCopy.header.time = now;
      tableCopy.header.operation = kOpDeleted;
      change.entries.push_back({tableCopy, JournalLink::kNone});
      link = JournalLink::kPreviousEntry;
    } else {
      SetPayloadPolicySlot(copy.payload, 0);
    }
  }
  copy.header.state = kStateDeleted;
  copy.header.time = now;
  copy.header.operation = kOpDeleted;
  change.entries.push_back({copy, link});

  const bool ok = Commit(change);
  ReloadCache();
  return ok ? number : 0;
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

  // New before old in the rule file: the new table goes to a free slot, the new record over
  // the old one in a single slot write, and only then is the old table freed. The journal
  // has (old table,) old record, (new table,) new record, each as a modification.
  const platform::SYSTEMTIME now = platform::GetLocalTime();
  Change change;
  uint32_t oldTable = 0;
  tagSLOT oldTableSlot;
  JournalLink oldLink = JournalLink::kNone;
  tagSLOT oldCopy = old;
  if (HasPolicyTable(kind) && PayloadAction(old.payload) == kActionPolicy) {
    const auto t = static_cast<uint32_t>(PayloadPolicySlot(old.payload));
    if (t != 0 && t != oldSlot && rules_.ReadSlot(t, &oldTableSlot) &&
        oldTableSlot.header.kind == kKindPolicyTable) {
      oldTable = t;
      tagSLOT entry = oldTableSlot;
      entry.header.state = kStateDeleted;
      entry.header.time = now;
      entry.header.operation = kOpModified;
      change.entries.push_back({entry, JournalLink::kNone});
      oldLink = JournalLink::kPreviousEntry;
    } else {
      SetPayloadPolicySlot(oldCopy.payload, 0);
    }
  }
  oldCopy.header.state = kStateDeleted;
  oldCopy.header.time = now;
  oldCopy.header.operation = kOpModified;
  change.entries.push_back({oldCopy, oldLink});

  uint32_t newTable = 0;
  if (needsTable) {
    newTable = FreeSlot({});
    tagSLOT slot = RecordSlot(newTable, kKindPolicyTable, table, now);
    change.writes.push_back({newTable, slot});
    slot.header.operation = kOpModified;
    change.entries.push_back({slot, JournalLink::kNone});
    ++change.liveDelta;
  }
  if (HasPolicyTable(kind)) SetPayloadPolicySlot(newPayload, static_cast<int32_t>(newTable));
  tagSLOT slot = RecordSlot(oldSlot, kind, newPayload, now);
  change.writes.push_back({oldSlot, slot});
  if (oldTable != 0) {
    if (oldTableSlot.header.state == kStateLive) --change.liveDelta;
    oldTableSlot.header.state = kStateDeleted;
    change.writes.push_back({oldTable, oldTableSlot});
  }
  slot.header.operation = kOpModified;
  change.entries.push_back({slot, needsTable ? JournalLink::kPreviousEntry : JournalLink::kNone});

  const bool ok = Commit(change);
  if (!ok) {
    platform::DebugOutput("On CDBManager::ModifyData() Fail to Write");
    if (HasPolicyTable(kind)) SetPayloadPolicySlot(newPayload, 0);
  }
  ReloadCache();
  return ok ? oldSlot : 0;
}

int CDBManager::AddProgram(tagFIREWALL_PROGRAM& program, const tagPOLICY_TABLE* table) {
  if (!IsValidProgram(program)) return 0;
  tagFIREWALL_PROGRAM existing = program;
  if (FindData(&existing, nullptr, kKindProgram) != 0) return 0;
  if (program.action == kActionPolicy && (table == nullptr || !IsValidPolicyTable(*table))) {
    return 0;
  }
  return static_cast<int>(AddRecord(&program, kKindProgram, table));
}

int CDBManager::DeleteProgram(tagFIREWALL_PROGRAM& program) {
  if (!IsValidProgram(program)) return 0;
  tagFIREWALL_PROGRAM key = program;
  uint32_t slot = FindData(&key, nullptr, kKindProgram);
  if (slot == 0) return 0;
  return static_cast<int>(DeleteRecord(&key, kKindProgram, slot));
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
  return static_cast<int>(AddRecord(&rule, kKindPortIp, nullptr));
}

int CDBManager::DeletePortIp(tagFIREWALL_PORTIP& rule) {
  if (!IsValidPortIp(rule)) return 0;
  tagFIREWALL_PORTIP key = rule;
  uint32_t slot = FindData(&key, nullptr, kKindPortIp);
  if (slot == 0) return 0;
  return static_cast<int>(DeleteRecord(&key, kKindPortIp, slot));
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
  if (level > 4 || !WritesAllowed()) return 0;
  tagSLOT slot;
  if (!rules_.ReadSlot(0, &slot)) return 0;
  AsHeader(slot).securityLevel = level;
  return rules_.WriteBlock(0, slot, kLevelBlock) && rules_.Sync() ? 1 : 0;
}

uint32_t CDBManager::GetSecurityLevel() {
  tagSLOT slot;
  // A damaged block would read as any number; a reader of a damaged file is told it is lost.
  if (damage_.levelLost && !damage_.repaired) return kDefaultSecurityLevel;
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
  for (uint32_t n = *cursor + 1; n <= journal_end_ && journal_.ReadSlot(n, &slot); ++n) {
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
    if (slot == 0 || slot > journal_end_ || !journal_.ReadSlot(slot, &entry)) return 0;
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
