// CPortRules: the list of the IP/port page: every IP/port rule with its ends, protocol,
// description, port type and action, and the page's add, modify and delete commands.
//
// As in the program list, element i of rules_ is row i and the rows are rebuilt from the array
// after every change and sort; a store failure re-reads the array from the store. System and
// hacking-tool port rules cannot be deleted. Double-click opens the modify dialog.
// User-interface thread only.
#pragma once

#include <vector>

#include "rules_ui/page_list.h"
#include "rules_ui/rule_rows.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::rules_ui {

class CPortRules : public CPageList {
 public:
  CPortRules(QWidget* host, store::CDBManager& store, TextSource texts,
             store::CPreferences* preferences);

  bool OnCommand(const QString& command) override;
  void Refresh() override;

  void Add();
  void Modify();
  void Delete();
  void OnHeaderClick(int column);

  const std::vector<store::tagFIREWALL_PORTIP>& Rules() const { return rules_; }

 private:
  void ReadFromStore();
  void ShowRows();
  void ReportStoreFailure(const store::tagFIREWALL_PORTIP& wanted,
                          const store::tagFIREWALL_PORTIP* old, int caption);

  store::CDBManager& store_;
  std::vector<store::tagFIREWALL_PORTIP> rules_;
  PortSortState sort_;
};

}  // namespace qxfw::rules_ui
