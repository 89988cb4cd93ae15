#include "monitor/ui/network_view.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QMenu>
#include <QPalette>
#include <QTreeWidgetItem>

#include "controls/qx_list_ctrl.h"
#include "rules_ui/icon_cache.h"
#include "rules_ui/skin_dialog.h"
#include "store/preferences.h"

namespace qxfw::monitor {

struct CNetworkList::Worker {
  CMngPortList tcp{true};
  CMngPortList udp{false};
  CSystemNetNames names{&tcp};
  CNetRows rows;
};

namespace {

constexpr int kColumnTitles[kNetColumnCount] = {26, 37, 38, 39, 40};
// No width of the preferences' own counts as untouched; first shown, a column is 120 wide or
// as wide as its title.
constexpr int kKeptWidths[kNetColumnCount] = {};
constexpr int kFirstWidths[kNetColumnCount] = {120, 120, 120, 120, 120};

QColor FromRgb(uint32_t rgb) {
  return QColor((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF);
}

void StyleBox(QWidget* box) {
  QPalette palette = box->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Window, QColor(0x34, 0x34, 0x34));
  box->setPalette(palette);
  box->setAutoFillBackground(true);
}

}  // namespace

CNetworkList::CNetworkList(QWidget* host, rules_ui::TextSource texts,
                           store::CPreferences* preferences, bool korean, int intervalMs)
    : CPageList(host, std::move(texts), preferences, store::kNetworkListView),
      korean_(korean),
      worker_(std::make_shared<Worker>()),
      icons_(new rules_ui::CProgramIconCache(this)),
      resolve_(new QCheckBox(Text(36), host)),
      tcp_(new QCheckBox(Text(50), host)),
      udp_(new QCheckBox(Text(51), host)),
      status_(new QComboBox(host)),
      resolver_(std::make_unique<CMngPortList>(false)) {
  pool_.setMaxThreadCount(1);
  resolve_->setObjectName(QString::number(kResolve));
  tcp_->setObjectName(QString::number(kTcp));
  udp_->setObjectName(QString::number(kUdp));
  status_->setObjectName(QString::number(kStatus));
  for (QWidget* box : {static_cast<QWidget*>(resolve_), static_cast<QWidget*>(tcp_),
                       static_cast<QWidget*>(udp_)}) {
    StyleBox(box);
  }
  for (int id = 76; id <= 79; ++id) status_->addItem(Text(id));
  MakeColumns(kColumnTitles, kNetColumnCount, kKeptWidths, kFirstWidths);
  List()->setContextMenuPolicy(Qt::DefaultContextMenu);
  List()->viewport()->installEventFilter(this);
  SyncBoxes();
  PlaceControls();

  connect(resolve_, &QCheckBox::clicked, this, [this](bool on) { SetResolve(on); });
  connect(tcp_, &QCheckBox::clicked, this, [this] { ClickTcp(); });
  connect(udp_, &QCheckBox::clicked, this, [this] { ClickUdp(); });
  connect(status_, &QComboBox::activated, this, [this](int index) { SetStatusFilter(index); });
  connect(List(), &controls::CQXListCtrl::columnClicked, this, [this](int c) { SortBy(c); });
  connect(List(), &controls::CQXListCtrl::rowDoubleClicked, this, [this](int row) {
    if (row < 0 || static_cast<size_t>(row) >= rows_.size() || !propertiesOpener_) return;
    const NetRow captured = rows_[row];
    menuOpen_ = true;
    OnAction(kMenuProperty, captured);
    menuOpen_ = false;
    Apply({});
  });
  connect(icons_, &rules_ui::CProgramIconCache::IconsReady, this, [this] {
    for (size_t i = 0; i < rows_.size(); ++i) {
      if (!rows_[i].programPath.empty()) {
        List()->SetItemIcon(static_cast<int>(i), 0, icons_->Icon(rows_[i].programPath));
      }
    }
  });
  connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
  timer_.start(intervalMs);
  Refresh();
}

CNetworkList::~CNetworkList() {
  timer_.stop();
  pool_.clear();
  // A running refresh holds the worker state, not this object; its queued result is dropped
  // with this object.
  pool_.waitForDone();
}

bool CNetworkList::OnCommand(const QString&) {
  return false;
}

void CNetworkList::Refresh() {
  if (inFlight_ || menuOpen_) return;
  inFlight_ = true;
  std::shared_ptr<Worker> worker = worker_;
  const NetViewOptions options = options_;
  pool_.start([this, worker, options] {
    worker->rows.SetOptions(options);
    if (worker->rows.RebuildPending()) {
      worker->tcp.RemoveAll();
      worker->udp.RemoveAll();
    }
    worker->tcp.Refresh();
    worker->udp.Refresh();
    auto delta = std::make_shared<NetRowsDelta>(
        worker->rows.Refresh(TakeRecords(worker->tcp), TakeRecords(worker->udp), worker->names));
    QMetaObject::invokeMethod(
        this,
        [this, delta] {
          inFlight_ = false;
          Apply(std::move(*delta));
          if (!(options_ == worker_->rows.Options()) && !menuOpen_) Refresh();
        },
        Qt::QueuedConnection);
  });
}

void CNetworkList::Apply(NetRowsDelta delta) {
  if (!delta.Empty()) held_.push_back(std::move(delta));
  if (menuOpen_ || held_.empty()) return;
  QElapsedTimer clock;
  clock.start();
  NetRowKey selected;
  int selectedRow = List()->GetSelectedRow();
  bool haveSelection = selectedRow >= 0 && static_cast<size_t>(selectedRow) < rows_.size();
  if (haveSelection) selected = KeyOf(rows_[selectedRow]);
  List()->setUpdatesEnabled(false);
  for (NetRowsDelta& held : held_) {
    ApplyToList(held);
    ApplyDelta(rows_, std::move(held));
  }
  held_.clear();
  icons_->Flush();
  int now = haveSelection ? FindRow(rows_, selected) : -1;
  if (now != List()->GetSelectedRow()) List()->SelectRow(now);
  List()->SetSortMark(options_.sortColumn, options_.ascending);
  List()->setUpdatesEnabled(true);
  ++refreshesApplied_;
  longestApplyMs_ = std::max(longestApplyMs_, clock.elapsed());
  emit RowsApplied();
}

void CNetworkList::SetRowTexts(int index, const NetRow& row) {
  QTreeWidgetItem* item = List()->topLevelItem(index);
  if (item == nullptr) return;
  for (int c = 0; c < kNetColumnCount; ++c) item->setText(c, QString::fromStdString(row.texts[c]));
  if (std::optional<RowColours> colours = ColoursOf(row.colour)) {
    List()->SetRowColor(index, FromRgb(colours->text), FromRgb(colours->background));
  } else {
    List()->RemoveRowColor(index);
  }
}

void CNetworkList::ApplyToList(const NetRowsDelta& delta) {
  controls::CQXListCtrl* list = List();
  if (delta.rebuilt) {
    list->DeleteAllItems();
    list->ClearRowColors();
  }
  for (int index : delta.deleted) list->DeleteItem(index);
  auto makeItem = [this](const NetRow& row) {
    auto* item = new QTreeWidgetItem;
    for (int c = 0; c < kNetColumnCount; ++c) {
      item->setText(c, QString::fromStdString(row.texts[c]));
    }
    item->setIcon(0, row.programPath.empty() ? rules_ui::CProgramIconCache::GenericIcon()
                                             : icons_->Icon(row.programPath));
    return item;
  };
  // Runs of rows that go to the end are added at once: the first fill is one such run.
  size_t i = 0;
  while (i < delta.inserted.size()) {
    int at = delta.inserted[i].first;
    if (at == list->topLevelItemCount()) {
      QList<QTreeWidgetItem*> items;
      size_t j = i;
      for (; j < delta.inserted.size() && delta.inserted[j].first == at + static_cast<int>(j - i);
           ++j) {
        items.append(makeItem(delta.inserted[j].second));
      }
      list->addTopLevelItems(items);
      for (size_t k = i; k < j; ++k) {
        if (delta.inserted[k].second.colour != NetRowColour::kNone) {
          SetRowTexts(delta.inserted[k].first, delta.inserted[k].second);
        }
      }
      i = j;
      continue;
    }
    list->insertTopLevelItem(at, makeItem(delta.inserted[i].second));
    if (delta.inserted[i].second.colour != NetRowColour::kNone) {
      SetRowTexts(at, delta.inserted[i].second);
    }
    ++i;
  }
  for (const auto& [index, row] : delta.updated) SetRowTexts(index, row);
}

void CNetworkList::OptionsChanged() {
  SyncBoxes();
  Refresh();
}

void CNetworkList::SyncBoxes() {
  resolve_->setChecked(options_.resolveNames);
  tcp_->setChecked(options_.showTcp);
  udp_->setChecked(options_.showUdp);
  status_->setCurrentIndex(options_.statusFilter);
  status_->setEnabled(StatusFilterEnabled(options_));
}

void CNetworkList::SetResolve(bool on) {
  options_.resolveNames = on;
  OptionsChanged();
}

void CNetworkList::ClickTcp() {
  ToggleTcp(&options_);
  OptionsChanged();
}

void CNetworkList::ClickUdp() {
  ToggleUdp(&options_);
  OptionsChanged();
}

void CNetworkList::SetStatusFilter(int index) {
  if (index < 0 || index > 3) return;
  options_.statusFilter = index;
  OptionsChanged();
}

void CNetworkList::SortBy(int column) {
  if (column < 0 || column >= kNetColumnCount) return;
  options_.sortColumn = column;
  options_.ascending = !options_.ascending;
  OptionsChanged();
}

QString CNetworkList::MenuText(int id) const {
  switch (id) {
    case kMenuProperty:
      return korean_ ? QStringLiteral("프로세스 속성") : QStringLiteral("Process Property");
    case kMenuWhois:
      return korean_ ? QStringLiteral("도메인 주소 정보") : QStringLiteral("Domain Address Info");
    case kMenuProcessOff:
      return korean_ ? QStringLiteral("프로세스 종료") : QStringLiteral("Process Off");
    case kMenuConnectionOff:
      return korean_ ? QStringLiteral("연결 종료") : QStringLiteral("Connection Off");
    default:
      return {};
  }
}

QString CNetworkList::RemoteDisplayName(const NetRow& row) {
  std::string dotted(row.record.remoteAddress, strnlen(row.record.remoteAddress, 16));
  if (!options_.resolveNames) return QString::fromStdString(dotted);
  return QString::fromStdString(resolver_->ResolveAddress(dotted.c_str()));
}

void CNetworkList::OpenContextMenu(const QPoint& globalPos) {
  int selected = List()->GetSelectedRow();
  if (selected < 0 || static_cast<size_t>(selected) >= rows_.size() || menuOpen_) return;
  // The record is taken now: a refresh may move or drop rows, the actions must not follow.
  const NetRow row = rows_[selected];
  menuOpen_ = true;
  {
    QMenu menu(List());
    menu.setObjectName(QStringLiteral("NetworkMenu"));
    auto add = [&](int id, bool enabled) {
      QAction* action = menu.addAction(MenuText(id));
      action->setData(id);
      action->setEnabled(enabled);
    };
    add(kMenuProperty, static_cast<bool>(propertiesOpener_));
    add(kMenuWhois,
        static_cast<bool>(whoisOpener_) && WhoisEntryEnabled(RemoteDisplayName(row).toStdString()));
    add(kMenuProcessOff, row.record.processId != 0);
    add(kMenuConnectionOff, row.record.stateName != nullptr);
    QAction* chosen = nullptr;
    connect(&menu, &QMenu::triggered, &menu, [&chosen](QAction* action) { chosen = action; });
    menu.exec(globalPos);
    int id = chosen != nullptr && chosen->isEnabled() ? chosen->data().toInt() : 0;
    if (id != 0) OnAction(id, row);
  }
  menuOpen_ = false;
  Apply({});
}

void CNetworkList::OnAction(int id, const NetRow& row) {
  switch (id) {
    case kMenuProperty:
      if (propertiesOpener_) propertiesOpener_(List(), row);
      break;
    case kMenuWhois:
      Whois(row);
      break;
    case kMenuProcessOff:
      EndProcess(row);
      break;
    case kMenuConnectionOff:
      EndConnection(row);
      break;
    default:
      break;
  }
}

void CNetworkList::EndConnection(const NetRow& row) {
  if (row.record.stateName == nullptr) return;
  if (Message(QMessageBox::Question, 188, 191, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  // Ended on the refresh thread (it owns the table); the rows change at the next refresh.
  std::shared_ptr<Worker> worker = worker_;
  const PortInfo record = row.record;
  pool_.start([worker, record] {
    worker->tcp.EndConnection(record.localAddress, record.localPort, record.remoteAddress,
                              record.remotePort);
  });
}

void CNetworkList::EndProcess(const NetRow& row) {
  if (Message(QMessageBox::Question, 187, 191, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  if (EndShownProcess(row.record.processId, row.startTicks) == EndShownResult::kDenied) {
    rules_ui::ShowMessage(List(), QMessageBox::Warning, Text(187),
                          korean_ ? QStringLiteral("이 프로세스를 종료할 권한이 없습니다.")
                                  : QStringLiteral("You may not end this process."));
  }
}

void CNetworkList::Whois(const NetRow& row) {
  QString name = RemoteDisplayName(row);
  int refusal = WhoisRefusal(name.toStdString());
  if (refusal != 0) {
    Message(QMessageBox::Information, 175, refusal);
    return;
  }
  if (whoisOpener_) whoisOpener_(List(), name);
}

void CNetworkList::PlaceControls() {
  resolve_->setGeometry(15, 150, 190, 15);
  tcp_->setGeometry(260, 150, 48, 15);
  udp_->setGeometry(310, 150, 48, 15);
  status_->setGeometry(365, 143, 130, 24);
  List()->setGeometry(15, 170, 480, 200);
  bool shown = Host()->isVisible() || !Host()->testAttribute(Qt::WA_WState_Hidden);
  for (QWidget* control : {static_cast<QWidget*>(resolve_), static_cast<QWidget*>(tcp_),
                           static_cast<QWidget*>(udp_), static_cast<QWidget*>(status_)}) {
    control->setVisible(shown);
  }
}

bool CNetworkList::eventFilter(QObject* watched, QEvent* event) {
  if (watched == List()->viewport() && event->type() == QEvent::ContextMenu) {
    auto* menuEvent = static_cast<QContextMenuEvent*>(event);
    QTreeWidgetItem* item = List()->itemAt(menuEvent->pos());
    if (item != nullptr) List()->SelectRow(List()->indexOfTopLevelItem(item));
    OpenContextMenu(menuEvent->globalPos());
    return true;
  }
  bool handled = CPageList::eventFilter(watched, event);
  if (watched == Host() && (event->type() == QEvent::Resize || event->type() == QEvent::Show ||
                            event->type() == QEvent::Hide)) {
    PlaceControls();
    if (event->type() == QEvent::Hide) {
      for (QWidget* control : {static_cast<QWidget*>(resolve_), static_cast<QWidget*>(tcp_),
                               static_cast<QWidget*>(udp_), static_cast<QWidget*>(status_)}) {
        control->hide();
      }
    }
  }
  return handled;
}

}  // namespace qxfw::monitor
