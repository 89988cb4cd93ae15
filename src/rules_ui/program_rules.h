// CProgramRules: the list of the program page: every program rule with its icon, file name, path
// and action, and the page's add, modify and delete commands.
//
// The array rules_ is what the rows show: element i is row i. The list never sorts itself; every
// add, modify, delete and sort rebuilds the rows from the array, and after a store failure the
// array is read again from the store, so no row shows a rule that is not stored. Double-click
// opens the program information of the row's path, F5 re-reads the rules, Delete deletes.
// User-interface thread only.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "rules_ui/page_list.h"
#include "rules_ui/rule_rows.h"
#include "store/rule_records.h"

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::rules_ui {

class CProgramIconCache;

class CProgramRules : public CPageList {
 public:
  // Opens the program information dialog for a path.
  using InfoOpener = std::function<void(QWidget* parent, const std::string& path)>;

  CProgramRules(QWidget* host, store::CDBManager& store, TextSource texts,
                store::CPreferences* preferences);

  void SetInfoOpener(InfoOpener opener) { info_opener_ = std::move(opener); }

  bool OnCommand(const QString& command) override;
  void Refresh() override;

  void Add();
  void Modify();
  void Delete();
  void OnHeaderClick(int column);

  const std::vector<store::tagFIREWALL_PROGRAM>& Rules() const { return rules_; }
  CProgramIconCache* Icons() const { return icons_; }

 private:
  void ReadFromStore();
  void SortAndShow();
  void ShowRows();
  void ResetIcons();
  // After a refused add or modify: "Data already exists" when another rule has the path,
  // otherwise the write error; then the rows are read again from the store.
  void ReportStoreFailure(const store::tagFIREWALL_PROGRAM& wanted, const char* oldPath);

  store::CDBManager& store_;
  std::vector<store::tagFIREWALL_PROGRAM> rules_;
  ProgramSortState sort_;
  CProgramIconCache* icons_;
  InfoOpener info_opener_;
};

}  // namespace qxfw::rules_ui
