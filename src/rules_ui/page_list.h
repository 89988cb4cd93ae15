// CPageList: a list that a page view lays over its page: the rule views' lists (and later the
// monitor views'). The page view hands it the page commands, asks it to refresh when the rules
// change, reads its column widths when it saves them, and tells it where the page keeps room for
// it. The list places itself over that room (15, 145, 480 x 200 until told) whenever its host is
// resized, shows and hides with it, and stays above the host's other children (the browser's
// own widgets come later). User-interface thread only.
#pragma once

#include <QObject>
#include <QRect>
#include <QString>
#include <vector>

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
  // The page's room for the list, in the host's coordinates.
  void SetRoom(const QRect& room);

 protected:
  QString Text(int id) const { return texts_ ? texts_(id) : QString(); }
  // Appends the columns with their titles and the widths kept in the preferences. Where the
  // user has not changed a width (it is the preferences' default) the column gets its width of
  // firstRunWidths, widened to show its whole title.
  void MakeColumns(const int* titles, int count, const int* defaultWidths,
                   const int* firstRunWidths);
  QWidget* Host() const { return host_; }
  QMessageBox::StandardButton Message(QMessageBox::Icon icon, int captionId, int textId,
                                      QMessageBox::StandardButtons buttons = QMessageBox::Ok);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Place();
  // Narrows the columns that still have their first-run widths (not below their titles) so
  // that all columns fit in the room, also beside a vertical scroll bar.
  void FitColumns();

  QWidget* host_;
  TextSource texts_;
  store::CPreferences* preferences_;
  int list_slot_;
  controls::CQXListCtrl* list_;
  QRect room_{15, 145, 480, 200};
  // Per column: the width it was given without the user, and its title's width; for columns
  // whose width the user chose, a given width of 0.
  std::vector<int> given_widths_, title_widths_;
};

}  // namespace qxfw::rules_ui
