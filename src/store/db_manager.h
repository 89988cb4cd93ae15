// CDBManager: the rule store. Keeps program rules (with their policy tables), IP/port rules
// and shared-folder records in the encrypted rule data file "QLFW.dat", copies every change to
// the encrypted change journal "QLFW.log", and keeps the security level in the file header.
//
// Both files are opened with no sharing: while one CDBManager holds them, a second opener
// (another process, or another instance) fails. Record operations return non-zero on success
// and 0 on failure; slot numbers start at 1. Enumeration: Select(0) (or Select(5) for the
// journal), then Select(1) / Select(6) / Select(4) in a loop with GetProgram / GetPortIp after
// each success.
//
// Damage and crashes: a change goes to the journal first (synced), then to the rule file
// (synced), and only then does the journal's header count its entries. Opening compares the
// entries not yet counted with the rule file and drops those of a change the rule file does
// not hold, so the two never disagree after a crash. A header that fails its checks is never
// replaced by an opener that only reads (StoreAccess::kReadOnly): it reports the damage and
// shows what the intact slots hold. A writer keeps a copy of the damaged file ("QLFW.dat.bad")
// and gives it a new header, keeping every slot and, when its block is intact, the level.
//
// Threading: all callers run on the user-interface thread. The store has no lock; its cursors
// and cache are shared, so an enumeration must not be interleaved with a change or with
// another enumeration.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/system_time.h"
#include "store/db_cache.h"
#include "store/rijndael.h"
#include "store/rule_file_format.h"
#include "store/rule_records.h"
#include "store/slot_file.h"
#include "store/store_damage.h"

namespace qxfw::store {

// Whether an opener may change the files. A read-only opener never writes to them.
enum class StoreAccess { kReadWrite, kReadOnly };

class CDBManager {
 public:
  // Select types.
  enum : int {
    kSelectRuleFile = 0,
    kSelectProgram = 1,
    kSelectSharedFolder = 4,
    kSelectJournal = 5,
    kSelectPortIp = 6,
  };

  // The process-wide store over the files in the firewall data folder, opened on first use.
  static CDBManager& GetInstance();

  // The firewall program's executable name; the one holder of the files not waited for.
  static constexpr char kFirewallProgram[] = "qxfw";
  // How long the process-wide store's first open waits for a short-lived holder.
  static constexpr std::chrono::milliseconds kFirstOpenWait{3000};

  // A store over folder/QLFW.dat and folder/QLFW.log (folder "" means no files).
  explicit CDBManager(const std::string& folder, StoreAccess access = StoreAccess::kReadWrite);
  // Same, waiting up to waitForHolder (with a debug line) while another program that is not
  // the firewall program holds the files.
  CDBManager(const std::string& folder, std::chrono::milliseconds waitForHolder,
             StoreAccess access = StoreAccess::kReadWrite);
  // A store over two given files (either may be null: not opened). For fault-injection tests.
  // Damaged files are copied into setAsideFolder ("" : they cannot be, and are not repaired).
  CDBManager(std::unique_ptr<platform::RandomAccessFile> ruleFile,
             std::unique_ptr<platform::RandomAccessFile> journal,
             StoreAccess access = StoreAccess::kReadWrite, const std::string& setAsideFolder = "");
  virtual ~CDBManager();
  CDBManager(const CDBManager&) = delete;
  CDBManager& operator=(const CDBManager&) = delete;

  bool IsRuleFileOpen() const { return rules_.IsOpen(); }
  bool IsJournalOpen() const { return journal_.IsOpen(); }
  // errno of the failed open of the rule file (EWOULDBLOCK: held by another program), else 0.
  int RuleFileOpenError() const { return rule_open_errno_; }
  int JournalOpenError() const { return journal_open_errno_; }
  const std::string& RuleFilePath() const { return rule_path_; }
  // What opening found; Any() is false for sound files.
  const StoreDamage& Damage() const { return damage_; }
  // False for a read-only opener, and while a damaged header could not be repaired.
  bool IsWritable() const { return writable_; }

  int AddProgram(tagFIREWALL_PROGRAM& program, const tagPOLICY_TABLE* table);
  int DeleteProgram(tagFIREWALL_PROGRAM& program);
  int ModifyProgram(tagFIREWALL_PROGRAM& oldProgram, tagFIREWALL_PROGRAM& newProgram,
                    const tagPOLICY_TABLE* table);
  int AddPortIp(tagFIREWALL_PORTIP& rule);
  int DeletePortIp(tagFIREWALL_PORTIP& rule);
  int ModifyPortIp(tagFIREWALL_PORTIP& oldRule, tagFIREWALL_PORTIP& newRule);

  int SetSecurityLevel(uint32_t level);
  uint32_t GetSecurityLevel();

  int Select(int type);
  int GetProgram(tagFIREWALL_PROGRAM* program);
  int GetPortIp(tagFIREWALL_PORTIP* rule);
  int GetSharedFolder(tagFIREWALL_SHARED_FOLDER* folder);
  int GetPolicy(tagPOLICY_TABLE* table, uint32_t slot);
  uint32_t GetJournalOp() const { return journal_op_; }
  platform::SYSTEMTIME GetJournalTime() const { return journal_time_; }
  // Sequence number of the current journal entry (0 before the first).
  uint32_t GetJournalSequence() const { return journal_entry_.header.slotNumber; }

  const CDBCache& Cache() const { return *cache_; }

 private:
  void Open();
  // Reads slot 0 and sorts the file: sound, empty (a new file) or damaged.
  enum class HeaderState { kSound, kEmpty, kDamaged };
  HeaderState ExamineHeader(CSlotFile& file, tagSLOT* header);
  bool WriteHeader(CSlotFile& file, uint32_t level, uint32_t counter);
  // Copies the whole file to a new "<name>.bad" beside it; the path, or "" when it failed.
  std::string SetAside(CSlotFile& file, const char* name);
  bool RepairDamage(uint32_t level);
  // The entries after the journal's counter: kept when the rule file holds their change,
  // dropped (write: cut from the file; read-only: hidden) when it does not.
  void SettleJournal();
  bool PendingChangeHeld(uint32_t counter, uint32_t last);
  uint32_t FindLive(uint32_t kind, const uint8_t* key, tagSLOT* found);
  void ReloadCache();

  void RepairCounters();

  // One change: the rule-file slots it writes, in order, and its journal entries, in order.
  // How a journal copy names its policy table: not at all, or as the entry written just
  // before it (the table always goes to the journal right before its record).
  enum class JournalLink { kNone, kPreviousEntry };
  struct Change {
    struct Write {
      uint32_t number;
      tagSLOT slot;
    };
    std::vector<Write> writes;
    struct Entry {
      tagSLOT slot;
      JournalLink link;
    };
    std::vector<Entry> entries;
    int liveDelta = 0;
  };
  // Journal entries, synced; rule-file slots, synced; then both counters. A failed step puts
  // back what the earlier ones wrote.
  bool Commit(const Change& change);
  bool AppendEntries(const Change& change, uint32_t* last);
  // The first slot that is not live and not among taken (a deleted slot is reused, else the
  // record is appended).
  uint32_t FreeSlot(const std::vector<uint32_t>& taken);
  static tagSLOT RecordSlot(uint32_t number, uint32_t kind, const void* payload,
                            const platform::SYSTEMTIME& time);
  bool WritesAllowed();

  uint32_t AddRecord(void* payload, uint32_t kind, const tagPOLICY_TABLE* table);
  uint32_t DeleteRecord(const void* key, uint32_t kind, uint32_t number);
  uint32_t FindData(void* record, const void* excluded, uint32_t kind);
  // oldSlot: where the caller found the old record (its key is checked again).
  uint32_t ModifyData(const void* oldRecord, uint32_t oldSlot, void* newRecord, uint32_t kind,
                      const tagPOLICY_TABLE* table);

  bool JournalNext(uint32_t kind, uint32_t* cursor);
  template <typename Record>
  int GetCurrent(int selectType, uint32_t kind, Record* out);

  CRijndael cipher_;
  CSlotFile rules_;
  CSlotFile journal_;
  std::unique_ptr<CDBCache> cache_;
  std::string rule_path_;
  std::string folder_;  // where damaged files are set aside
  StoreAccess access_;
  bool writable_ = false;
  StoreDamage damage_;
  int rule_open_errno_ = 0;
  int journal_open_errno_ = 0;
  // Journal entries past this one are hidden: a read-only opener's view of an unfinished change.
  uint32_t journal_end_ = UINT32_MAX;

  bool journal_mode_ = false;
  uint32_t program_cursor_ = 0;
  uint32_t portip_cursor_ = 0;
  uint32_t folder_cursor_ = 0;
  int last_select_ = 0;
  bool last_select_found_ = false;
  tagSLOT journal_entry_{};
  uint32_t journal_op_ = 0;
  platform::SYSTEMTIME journal_time_{};
};

}  // namespace qxfw::store
