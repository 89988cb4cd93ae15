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
// Threading: all callers run on the user-interface thread. The store has no lock; its cursors
// and cache are shared, so an enumeration must not be interleaved with a change or with
// another enumeration.
#pragma once

#include <chrono>
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

namespace qxfw::store {

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
  explicit CDBManager(const std::string& folder);
  // Same, waiting up to waitForHolder (with a debug line) while another program that is not
  // the firewall program holds the files.
  CDBManager(const std::string& folder, std::chrono::milliseconds waitForHolder);
  // A store over two given files (either may be null: not opened). For fault-injection tests.
  CDBManager(std::unique_ptr<platform::RandomAccessFile> ruleFile,
             std::unique_ptr<platform::RandomAccessFile> journal);
  virtual ~CDBManager();
  CDBManager(const CDBManager&) = delete;
  CDBManager& operator=(const CDBManager&) = delete;

  bool IsRuleFileOpen() const { return rules_.IsOpen(); }
  bool IsJournalOpen() const { return journal_.IsOpen(); }
  // errno of the failed open of the rule file (EWOULDBLOCK: held by another program), else 0.
  int RuleFileOpenError() const { return rule_open_errno_; }
  int JournalOpenError() const { return journal_open_errno_; }
  const std::string& RuleFilePath() const { return rule_path_; }

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
  bool TestHeader(CSlotFile& file);
  void ReloadCache();
  bool BumpCounter(CSlotFile& file, int delta, uint32_t* counter);

  void RepairCounters();
  // Writes a slot; when that fails beyond the file's old end, the file is cut back to it.
  static bool WriteNewSlot(CSlotFile& file, uint32_t number, const tagSLOT& slot);
  // How a journal copy names its policy table: not at all, or as the entry written just
  // before it (the table always goes to the journal right before its record).
  enum class JournalLink { kNone, kPreviousEntry };
  void Journal(const tagSLOT& copy, JournalLink link);
  bool WriteJournalEntry(tagSLOT entry, JournalLink link);

  uint32_t AddData(const void* payload, uint32_t kind, bool withinModification);
  uint32_t DeleteData(const void* key, uint32_t kind, uint32_t slot, bool withinModification);
  uint32_t FindData(void* record, const void* excluded, uint32_t kind);
  // oldSlot: where the caller found the old record (its key is checked again on delete).
  uint32_t ModifyData(const void* oldRecord, uint32_t oldSlot, void* newRecord, uint32_t kind,
                      const tagPOLICY_TABLE* table);
  bool AddPolicyTableFor(void* record, uint32_t kind, const tagPOLICY_TABLE* table,
                         bool withinModification);

  bool JournalNext(uint32_t kind, uint32_t* cursor);
  template <typename Record>
  int GetCurrent(int selectType, uint32_t kind, Record* out);

  CRijndael cipher_;
  CSlotFile rules_;
  CSlotFile journal_;
  std::unique_ptr<CDBCache> cache_;
  std::string rule_path_;
  int rule_open_errno_ = 0;
  int journal_open_errno_ = 0;

  bool journal_mode_ = false;
  uint32_t program_cursor_ = 0;
  uint32_t portip_cursor_ = 0;
  uint32_t folder_cursor_ = 0;
  int last_select_ = 0;
  bool last_select_found_ = false;
  // Journal entries of a modification wait here until the rule file holds the change.
  struct PendingEntry {
    tagSLOT slot;
    JournalLink link;
  };
  bool deferring_ = false;
  std::vector<PendingEntry> pending_;
  uint32_t last_journal_entry_ = 0;  // sequence of the last entry written, 0 when it failed
  void FlushJournal(std::vector<PendingEntry> entries);
  tagSLOT journal_entry_{};
  uint32_t journal_op_ = 0;
  platform::SYSTEMTIME journal_time_{};
};

}  // namespace qxfw::store
