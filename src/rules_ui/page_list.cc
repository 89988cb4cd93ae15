#include "rules_ui/page_list.h"

#include <QEvent>

#include "controls/qx_list_ctrl.h"
#include "store/preferences.h"

namespace qxfw::rules_ui {
namespace {
constexpr int kDefaultColumnWidth = 120;
}  // namespace

CPageList::CPageList(QWidget* host, TextSource texts, store::CPreferences* preferences,
                     int listSlot)
    : QObject(host),
      host_(host),
      texts_(std::move(texts)),
      preferences_(preferences),
      list_slot_(listSlot),
      list_(new controls::CQXListCtrl(host)) {
  list_->setObjectName(QStringLiteral("1"));
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setUniformRowHeights(true);
  host_->installEventFilter(this);
  Place();
}

CPageList::~CPageList() = default;

void CPageList::MakeColumns(const int* titles, int count) {
  for (int c = 0; c < count; ++c) {
    int width = preferences_ != nullptr ? preferences_->GetColumnWidth(list_slot_, c) : 0;
    list_->InsertColumn(Text(titles[c]), width > 0 ? width : kDefaultColumnWidth);
  }
}

QMessageBox::StandardButton CPageList::Message(QMessageBox::Icon icon, int captionId, int textId,
                                               QMessageBox::StandardButtons buttons) {
  return ShowMessage(host_, icon, Text(captionId), Text(textId), buttons);
}

void CPageList::Place() {
  list_->setGeometry(15, 145, 480, 200);
  list_->setVisible(host_->isVisible() || !host_->testAttribute(Qt::WA_WState_Hidden));
}

bool CPageList::eventFilter(QObject* watched, QEvent* event) {
  if (watched == host_) {
    if (event->type() == QEvent::Resize) {
      Place();
    } else if (event->type() == QEvent::Show) {
      list_->show();
      list_->viewport()->update();
    } else if (event->type() == QEvent::Hide) {
      list_->hide();
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace qxfw::rules_ui
