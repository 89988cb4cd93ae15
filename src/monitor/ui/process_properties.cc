#include "monitor/ui/process_properties.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QThreadPool>
#include <cstring>

#include "controls/color_static.h"
#include "controls/edit_box.h"
#include "controls/n_bitmap_button.h"
#include "controls/radio_btn.h"
#include "monitor/process_list.h"
#include "monitor/version_info.h"
#include "platform/debug_output.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/dialog_fields.h"
#include "rules_ui/icon_cache.h"
#include "store/db_manager.h"

namespace qxfw::monitor {
namespace {

constexpr int kCaption = 58;  // "Process Properties"
const QColor kLabelBackground(0x00, 0x66, 0xCC);

QString OrNa(const std::string& text) {
  return text.empty() ? QStringLiteral("n/a") : QString::fromStdString(text);
}

}  // namespace

CProcessProperties::Facts CProcessProperties::ReadFacts(uint32_t processId) {
  Facts facts;
  CProcessList processes;
  std::optional<std::string> name = processes.NameOf(processId);
  if (name) {
    facts.found = true;
    facts.name = *name;
    facts.threadCount = processes.GetThreadCount();
    facts.parentId = processes.GetParentProcessId();
    facts.creation = processes.GetCreationTime();
    facts.parentName = processes.NameOf(facts.parentId);
  }
  if (std::optional<std::string> owner = processes.OwnerOf(processId)) {
    facts.owner = processes.GetOwnerDomain() + "\\" + *owner;
  }
  facts.path = processes.PathOf(processId);
  if (!facts.path.empty()) {
    CFileVersionInfo info(facts.path);
    facts.description = info.Get(CFileVersionInfo::kFileDescription);
    facts.version = info.Get(CFileVersionInfo::kProductVersion);
    facts.company = info.Get(CFileVersionInfo::kCompanyName);
  }
  return facts;
}

QString CProcessProperties::CreationText(const platform::SYSTEMTIME& time) {
  int hour = time.wHour;
  if (hour >= 13 && hour <= 23) hour -= 12;
  return QString::asprintf("%d:%d:%d %s  %d-%d-%d", hour, time.wMinute, time.wSecond,
                           time.wHour < 12 ? "AM" : "PM", time.wYear, time.wMonth, time.wDay);
}

CProcessProperties::CProcessProperties(rules_ui::TextSource texts, store::CDBManager& store,
                                       const PortInfo& row, QWidget* parent)
    : CSkinDialog(std::move(texts), 470, 430, 378, parent), store_(store), row_(row) {
  setObjectName(QStringLiteral("CProcessProperties"));
  MakeTitle(kTitle, Text(170));
  // Held from now on: End Process reaches this process or none.
  if (row_.processId != 0 && row_.processId <= INT32_MAX) {
    pidfd_ = platform::UniqueFd(
        static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(row_.processId), 0)));
  }
  auto* icon = new QLabel(this);
  icon->setObjectName(QString::number(kIcon));
  icon->setAccessibleName(Text(59));
  icon->setGeometry(16, 44, 32, 32);
  icon->setPixmap(rules_ui::CProgramIconCache::GenericIcon().pixmap(32, 32));
  MakeLabel(kName, QString(), QRect(60, 48, 390, 22))->setAccessibleName(Text(59));

  auto field = [this](int labelString, int id, int y) {
    auto* label = MakeLabel(id + 100, Text(labelString), QRect(20, y, 110, 22));
    label->SetTextColor(Qt::white);
    label->SetBkColor(kLabelBackground);
    auto* value = MakeLabel(id, QString(), QRect(136, y, 316, 22));
    value->setAccessibleName(Text(labelString));
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
  };
  MakeLabel(1301, Text(111), QRect(20, 78, 200, 20));
  auto* pathLabel = MakeLabel(kPath + 100, Text(62), QRect(20, 100, 110, 22));
  pathLabel->SetTextColor(Qt::white);
  pathLabel->SetBkColor(kLabelBackground);
  auto* path = MakeEdit(kPath, Text(62), QRect(136, 100, 316, 22));
  path->setReadOnly(true);
  field(60, kDescription, 125);
  field(64, kCompany, 150);
  field(66, kVersion, 175);
  MakeLabel(1302, Text(112), QRect(20, 202, 200, 20));
  field(61, kCreationTime, 224);
  field(63, kOwner, 249);
  field(65, kThreadCount, 274);
  field(67, kParent, 299);
  MakeLabel(1303, Text(20), QRect(20, 330, 80, 22));
  auto* actions = new QButtonGroup(this);
  actions->addButton(MakeRadio(kAllow, Text(10), QRect(100, 330, 80, 22)));
  actions->addButton(MakeRadio(kBlock, Text(11), QRect(180, 330, 80, 22)));
  auto* advanced = MakeRadio(kAdvanced, Text(206), QRect(260, 330, 150, 22));
  actions->addButton(advanced);
  auto* save = MakeButton(kSave, Text(54), QRect(12, 392, 80, 26));
  auto* endConnection = MakeButton(kEndConnection, Text(55), QRect(98, 392, 120, 26));
  auto* endProcess = MakeButton(kEndProcess, Text(56), QRect(224, 392, 110, 26));
  auto* cancel = MakeButton(kCancel, Text(25), QRect(width() - 76, 392, 63, 26));
  connect(save, &QAbstractButton::clicked, this, &CProcessProperties::OnSave);
  connect(endConnection, &QAbstractButton::clicked, this, &CProcessProperties::OnEndConnection);
  connect(endProcess, &QAbstractButton::clicked, this, &CProcessProperties::OnEndProcess);
  connect(cancel, &QAbstractButton::clicked, this, &QDialog::reject);
  connect(advanced, &QAbstractButton::clicked, this, &CProcessProperties::OnAdvanced);

  // Nothing can be set until the facts are in.
  for (int id : {kAllow, kBlock, kAdvanced, kSave, kEndProcess, kEndConnection})
    Control(id)->setEnabled(false);

  QPointer<CProcessProperties> self(this);
  const uint32_t processId = row_.processId;
  QThreadPool::globalInstance()->start([self, processId] {
    Facts facts = ReadFacts(processId);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, facts] {
          if (self) self->Show(facts);
        },
        Qt::QueuedConnection);
  });
}

QString CProcessProperties::Value(int id) const {
  if (auto* edit = ControlAs<QLineEdit>(id)) return edit->text();
  auto* label = ControlAs<QLabel>(id);
  return label != nullptr ? label->text() : QString();
}

void CProcessProperties::Show(const Facts& facts) {
  facts_ = facts;
  auto set = [this](int id, const QString& text) {
    if (auto* label = ControlAs<QLabel>(id)) label->setText(text);
  };
  set(kName, OrNa(facts.name));
  rules_ui::SetFieldText(*this, kPath, QString::fromStdString(facts.path));
  ControlAs<QLineEdit>(kPath)->setCursorPosition(0);
  set(kDescription, OrNa(facts.description));
  set(kVersion, OrNa(facts.version));
  set(kCompany, QString::fromStdString(facts.company));
  set(kCreationTime, facts.found ? CreationText(facts.creation) : QString());
  set(kOwner, facts.owner ? QString::fromStdString(*facts.owner) : QString());
  set(kThreadCount, QString::number(facts.threadCount));
  set(kParent,
      facts.parentName
          ? QString::asprintf("%s(%d)", facts.parentName->c_str(), static_cast<int>(facts.parentId))
          : QString::asprintf("<Non-existing Process>(%d)", static_cast<int>(facts.parentId)));
  const bool hasPath = !facts.path.empty() && facts.path.size() <= store::kProgramPathLimit;
  if (hasPath) {
    // The program's rule, found as the store finds it (paths compare case-insensitively).
    std::memset(&edited_, 0, sizeof(edited_));
    std::memcpy(edited_.path, facts.path.data(), facts.path.size());
    edited_.action = store::kActionAllow;
    store_.Select(store::CDBManager::kSelectRuleFile);
    store::tagFIREWALL_PROGRAM rule{};
    while (store_.Select(store::CDBManager::kSelectProgram) != 0) {
      if (store_.GetProgram(&rule) != 0 && store::SameProgramKey(rule, edited_)) {
        found_ = rule;
        break;
      }
    }
    if (found_) edited_.action = found_->action;
    rules_ui::SetChecked(*this,
                         edited_.action == store::kActionBlock    ? kBlock
                         : edited_.action == store::kActionPolicy ? kAdvanced
                                                                  : kAllow,
                         true);
    for (int id : {kAllow, kBlock, kAdvanced, kSave}) Control(id)->setEnabled(true);
  }
  Control(kEndProcess)->setEnabled(hasPath && pidfd_.Valid());
  Control(kEndConnection)->setEnabled(hasPath && row_.stateName != nullptr);
  filled_ = true;
  emit FactsShown();
}

void CProcessProperties::OnSave() {
  if (!filled_ || facts_.path.empty()) return;
  store::tagFIREWALL_PROGRAM rule = edited_;
  if (rules_ui::Checked(*this, kAllow)) {
    rule.action = store::kActionAllow;
  } else if (rules_ui::Checked(*this, kBlock)) {
    rule.action = store::kActionBlock;
  } else if (table_.count != 0) {
    rule.action = store::kActionPolicy;
  } else {
    Message(QMessageBox::Warning, kCaption, 85);
    return;
  }
  const store::tagPOLICY_TABLE* table = rule.action == store::kActionPolicy ? &table_ : nullptr;
  int stored = 0;
  if (found_) {
    store::tagFIREWALL_PROGRAM old = *found_;
    stored = store_.ModifyProgram(old, rule, table);
  }
  // Also when the found rule was deleted elsewhere while the dialog was open.
  if (stored == 0) stored = store_.AddProgram(rule, table);
  if (stored == 0) {
    Message(QMessageBox::Critical, kCaption, 131);
    return;
  }
  accept();
}

void CProcessProperties::OnAdvanced() {
  if (!filled_ || facts_.path.empty()) return;
  store::tagFIREWALL_PROGRAM start =
      found_ && found_->action == store::kActionPolicy ? *found_ : edited_;
  rules_ui::CAddDlg dialog([this](int id) { return Text(id); }, store_,
                           rules_ui::CAddDlg::Mode::kPolicyOnly, start, this);
  if (dialog.exec() == QDialog::Accepted) {
    table_ = dialog.PolicyTable();
  } else {
    table_ = {};
  }
}

void CProcessProperties::OnEndProcess() {
  if (!pidfd_.Valid()) return;
  // The network view's own question: "Exit the process", "Can you exit this process?".
  if (Message(QMessageBox::Question, 187, 191, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  if (syscall(SYS_pidfd_send_signal, pidfd_.Get(), SIGKILL, nullptr, 0) != 0) {
    platform::DebugOutput("[QXFW.exe] CProcessProperties: process %u not ended (errno %d)",
                          row_.processId, errno);
  }
  accept();
}

void CProcessProperties::OnEndConnection() {
  if (row_.stateName == nullptr) return;
  const PortInfo row = row_;
  QThreadPool::globalInstance()->start([row] {
    CMngPortList connections(true);
    connections.Refresh();
    connections.EndConnection(row.localAddress, row.localPort, row.remoteAddress, row.remotePort);
  });
  accept();
}

}  // namespace qxfw::monitor
