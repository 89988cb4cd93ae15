// CPageList: a list that a page view lays over its page: the rule views' lists (and later the
// monitor views'). The page view hands it the page commands, asks it to refresh when the rules
// change, and reads its column widths when it saves them. The list places itself over the
// page's list room (15, 145, 480 x 200) whenever its host is resized, and shows and hides with
// it. User-interface thread only.
#pragma once

#include <QObject>
#include <QString>

#include "rules_ui/skin_dialog.h"

namespace qxfw::store {
class CPreferences;
}
namespace qxfw::controls {
class CQXListCtrl;
}

namespace qxfw::rules_ui {

class CPageList : public QObject {
  Q_OBJECT
 public:
  // The list is created as a child of host; listSlot: the preferences slot of its widths.
  CPageList(QWidget* host, TextSource texts, store::CPreferences* preferences, int listSlot);
  ~CPageList() override;

  controls::CQXListCtrl* List() const { return list_; }
  // A page command ("cmdAdd", ...), compared case-insensitively; true when the list took it.
  virtual bool OnCommand(const QString& command) = 0;
  // Re-reads what the list shows.
  virtual void Refresh() = 0;

 protected:
  QString Text(int id) const { return texts_ ? texts_(id) : QString(); }
  // Appends the columns with their titles and the widths kept in the preferences.
  void MakeColumns(const int* titles, int count);
  QWidget* Host() const { return host_; }
  QMessageBox::StandardButton Message(QMessageBox::Icon icon, int captionId, int textId,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Place();

  QWidget* host_;
  TextSource texts_;
  store::CPreferences* preferences_;
  int list_slot_;
  controls::CQXListCtrl* list_;
};

}  // namespace qxfw::rules_ui
