#include "rules_ui/page_list.h"

#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTimer>
#include <algorithm>

#include "controls/qx_list_ctrl.h"
#include "store/preferences.h"

namespace qxfw::rules_ui {
namespace {
// Beside a title in the header: its margins.
constexpr int kTitleRoom = 12;
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

void CPageList::MakeColumns(const int* titles, int count, const int* defaultWidths,
                            const int* firstRunWidths) {
  const QFontMetrics metrics(list_->header()->font());
  for (int c = 0; c < count; ++c) {
    const QString title = Text(titles[c]);
    int width = preferences_ != nullptr ? preferences_->GetColumnWidth(list_slot_, c) : 0;
    const int titleWidth = metrics.horizontalAdvance(title) + kTitleRoom;
    const bool firstRun = width <= 0 || width == defaultWidths[c];
    if (firstRun) width = std::max(firstRunWidths[c], titleWidth);
    list_->InsertColumn(title, width);
    given_widths_.push_back(firstRun ? width : 0);
    title_widths_.push_back(titleWidth);
  }
  FitColumns();
}

void CPageList::FitColumns() {
  const int room = room_.width() - 2 * list_->frameWidth() -
                   list_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list_);
  int total = 0;
  int slack = 0;
  for (size_t c = 0; c < given_widths_.size(); ++c) {
    const int width = list_->GetColumnWidth(static_cast<int>(c));
    total += width;
    if (given_widths_[c] == width) slack += std::max(0, width - title_widths_[c]);
  }
  if (total <= room || slack == 0) return;
  const int excess = std::min(total - room, slack);
  // Each column gives up its share of the excess, in proportion to what it has beyond its title.
  std::vector<int> cuts(given_widths_.size(), 0);
  int left = excess;
  for (size_t c = 0; c < cuts.size(); ++c) {
    const int width = list_->GetColumnWidth(static_cast<int>(c));
    if (given_widths_[c] != width) continue;
    cuts[c] = static_cast<int>(static_cast<long long>(excess) *
                               std::max(0, width - title_widths_[c]) / slack);
    left -= cuts[c];
  }
  for (size_t c = 0; c < cuts.size() && left > 0; ++c) {
    const int width = list_->GetColumnWidth(static_cast<int>(c));
    if (given_widths_[c] != width) continue;
    const int more = std::min(left, std::max(0, width - title_widths_[c]) - cuts[c]);
    cuts[c] += more;
    left -= more;
  }
  for (size_t c = 0; c < cuts.size(); ++c) {
    if (cuts[c] == 0) continue;
    const int width = list_->GetColumnWidth(static_cast<int>(c)) - cuts[c];
    list_->setColumnWidth(static_cast<int>(c), width);
    given_widths_[c] = width;
  }
}

QMessageBox::StandardButton CPageList::Message(QMessageBox::Icon icon, int captionId, int textId,
                                               QMessageBox::StandardButtons buttons) {
  return ShowMessage(host_, icon, Text(captionId), Text(textId), buttons);
}

void CPageList::SetRoom(const QRect& room) {
  if (!room.isValid()) return;
  room_ = room;
  Place();
}

void CPageList::Place() {
  list_->setGeometry(room_);
  FitColumns();
  list_->setVisible(host_->isVisible() || !host_->testAttribute(Qt::WA_WState_Hidden));
  list_->raise();
}

bool CPageList::eventFilter(QObject* watched, QEvent* event) {
  if (watched == host_) {
    if (event->type() == QEvent::Resize) {
      Place();
    } else if (event->type() == QEvent::ChildAdded) {
      // A widget the browser adds later would cover the list.
      QTimer::singleShot(0, list_, [list = list_] { list->raise(); });
    } else if (event->type() == QEvent::Show) {
      list_->show();
      list_->raise();
      list_->viewport()->update();
    } else if (event->type() == QEvent::Hide) {
      list_->hide();
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace qxfw::rules_ui
