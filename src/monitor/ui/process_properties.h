// CProcessProperties: the modal dialog that shows what is known about the process behind a row
// of the network view (program file, version texts, owner, start, threads, parent) and lets the
// user set the rule of its program (Allow, Block, Advanced Setting), end the process or end the
// connection.
//
// The facts are read on a worker thread and arrive by a queued call; the rule is looked up in
// the store with the store's case-insensitive path comparison. The path is shown, not edited. A
// process without a trusted path gets no rule (never one named "n/a"). End Process asks first
// and ends only the process that was shown: a pidfd taken when the dialog opens, so a process
// that reused the id is never signalled. User-interface thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "monitor/mng_port_list.h"
#include "platform/file.h"
#include "platform/system_time.h"
#include "rules_ui/skin_dialog.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::monitor {

class CProcessProperties : public rules_ui::CSkinDialog {
  Q_OBJECT
 public:
  enum : int {
    kAllow = 1009,
    kBlock = 1010,
    kAdvanced = 1011,
    kIcon = 1150,
    kTitle = 1161,
    kName = 1201,
    kPath = 1202,
    kDescription = 1203,
    kCompany = 1204,
    kVersion = 1205,
    kCreationTime = 1206,
    kOwner = 1207,
    kThreadCount = 1208,
    kParent = 1209,
    kSave = 1210,
    kEndConnection = 1211,
    kEndProcess = 1212,
  };

  // What the worker finds out about the process.
  struct Facts {
    bool found = false;
    std::string name;
    uint32_t threadCount = 0;
    uint32_t parentId = 0;
    std::optional<std::string> parentName;
    platform::SYSTEMTIME creation{};
    std::optional<std::string> owner;  // "domain\user"
    std::string path;                  // trusted path; empty when none
    std::string description, version, company;
  };
  static Facts ReadFacts(uint32_t processId);
  // "%d:%d:%d %s  %d-%d-%d" on a 12-hour clock.
  static QString CreationText(const platform::SYSTEMTIME& time);

  CProcessProperties(rules_ui::TextSource texts, store::CDBManager& store, const PortInfo& row,
                     QWidget* parent = nullptr);

  bool Filled() const { return filled_; }
  QString Value(int id) const;
  // The rule found for the program (none when it has no rule yet).
  const std::optional<store::tagFIREWALL_PROGRAM>& FoundRule() const { return found_; }

  void OnSave();
  void OnAdvanced();
  void OnEndProcess();
  void OnEndConnection();

 signals:
  void FactsShown();

 private:
  void Show(const Facts& facts);

  store::CDBManager& store_;
  PortInfo row_;
  platform::UniqueFd pidfd_;
  Facts facts_;
  std::optional<store::tagFIREWALL_PROGRAM> found_;
  store::tagFIREWALL_PROGRAM edited_{};
  store::tagPOLICY_TABLE table_{};
  bool filled_ = false;
};

}  // namespace qxfw::monitor
