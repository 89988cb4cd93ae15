// CProgramRules: the list of the program page: every program rule with its icon, file name, path
// and action, and the page's add, modify and delete commands.
//
// The array rules_ is what the rows show: element i is row i. The list never sorts itself; every
// add, modify, delete and sort rebuilds the rows from the array, and after a store failure the
// array is read again from the store, so no row shows a rule that is not stored. Double-click
// opens the program information of the row's path, F5 re-reads the rules, Delete deletes.
// A long list has its rows built on a worker thread, so that the user-interface thread is
// never held for long: until they arrive (by a queued call; RowsShown) the list has no rows, so
// no command acts on a row that is not the array's. User-interface thread only.
#pragma once

#include <QList>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rules_ui/page_list.h"
#include "rules_ui/rule_rows.h"
#include "store/rule_records.h"

class QTreeWidgetItem;

namespace qxfw::store {
class CDBManager;
}

namespace qxfw::rules_ui {

class CProgramIconCache;

class CProgramRules : public CPageList {
  Q_OBJECT
 public:
  // Lists of up to this many rules (2,000 unless set) have their rows built at once on the
  // user-interface thread; set by the benchmark that compares the two ways, and by tests.
  static void SetSyncRows(size_t rows);

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
  // True while rows of the array are still to be shown.
  bool RowsPending() const;

 signals:
  // Every rule of the array has its row.
  void RowsShown();

 private:
  void ReadFromStore();
  void SortAndShow();
  // Rebuilds the rows from the array: at once for a short list, else on a worker.
  void ShowRows();
  // Shows the rows built for the whole array (row i of rules_[i]) with their icons.
  void TakeRows(QList<QTreeWidgetItem*> items);
  // The rows of rules, without icons; touches no member (runs on workers too).
  static QList<QTreeWidgetItem*> BuildRows(const std::vector<store::tagFIREWALL_PROGRAM>& rules,
                                           const QString (&actionTexts)[3]);
  // Selects row once it is shown (at once when it is).
  void SelectWhenShown(int row);
  void ResetIcons();
  // After a refused add or modify: "Data already exists" when another rule has the path,
  // otherwise the write error; then the rows are read again from the store.
  void ReportStoreFailure(const store::tagFIREWALL_PROGRAM& wanted, const char* oldPath);

  store::CDBManager& store_;
  std::vector<store::tagFIREWALL_PROGRAM> rules_;
  ProgramSortState sort_;
  CProgramIconCache* icons_;
  InfoOpener info_opener_;
  uint64_t generation_ = 0;  // of the array's last rebuild of rows
  bool pending_ = false;
  int select_when_shown_ = -1;
};

}  // namespace qxfw::rules_ui
