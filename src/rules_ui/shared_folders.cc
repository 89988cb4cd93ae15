#include "rules_ui/shared_folders.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <cstring>

#include "controls/qx_list_ctrl.h"
#include "monitor/shared_folder_list.h"
#include "platform/debug_output.h"
#include "rules_ui/rule_rows.h"
#include "store/preferences.h"

namespace qxfw::rules_ui {
namespace {

constexpr int kCaption = 202;  // "Manage Share folder"
constexpr size_t kShareNameLimit = 259;

// Runs work on a worker and then done(result) on the user-interface thread, unless the list has
// gone by then.
template <typename Result>
void OnWorker(QPointer<CSharedFolders> self, std::function<Result()> work,
              std::function<void(CSharedFolders*, Result)> done) {
  QThreadPool::globalInstance()->start([self, work = std::move(work), done = std::move(done)] {
    Result result = work();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, done, result = std::move(result)]() mutable {
          if (self) done(self.data(), std::move(result));
        },
        Qt::QueuedConnection);
  });
}

}  // namespace

CSharedFolders::CSharedFolders(QWidget* host, TextSource texts, store::CPreferences* preferences,
                               ListFactory factory)
    : CPageList(host, std::move(texts), preferences, store::kSharedFolderListView),
      factory_(std::move(factory)) {
  if (!factory_) factory_ = [] { return std::make_unique<monitor::CSharedFolderList>(); };
  List()->setAccessibleName(Text(4));
  MakeColumns(kSharedColumnTitles, 3, kSharedDefaultWidths, kSharedDefaultWidths);
  connect(List(), &controls::CQXListCtrl::keyPressed, this, [this](int key) {
    if (key == Qt::Key_F5) Refresh();
    if (key == Qt::Key_Delete) Delete();
  });
  Refresh();
}

bool CSharedFolders::OnCommand(const QString& command) {
  if (command.compare(QLatin1String("cmdDelete"), Qt::CaseInsensitive) != 0) return false;
  Delete();
  return true;
}

void CSharedFolders::Refresh() {
  ++pending_;
  ListFactory factory = factory_;
  OnWorker<std::vector<Share>>(
      this,
      [factory] {
        std::vector<Share> shares;
        std::unique_ptr<monitor::CSharedFolderList> list = factory();
        while (list->MoveNext()) {
          monitor::tagFIREWALL_SHARED_FOLDER record = list->GetCurrent();
          shares.push_back(
              {std::string(record.shareName, strnlen(record.shareName, sizeof(record.shareName))),
               std::string(record.path, strnlen(record.path, sizeof(record.path)))});
        }
        return shares;
      },
      [](CSharedFolders* self, std::vector<Share> shares) { self->Show(std::move(shares)); });
}

void CSharedFolders::Show(std::vector<Share> shares) {
  --pending_;
  shares_ = std::move(shares);
  controls::CQXListCtrl* list = List();
  list->clear();
  for (const Share& share : shares_) {
    int row = list->InsertItem(-1, QString::fromStdString(share.name));
    list->SetItemText(row, 1, QString::fromStdString(share.path));
    list->SetItemText(row, 2, Text(10));
  }
  emit SharesShown();
}

void CSharedFolders::Delete() {
  const int row = List()->GetSelectedRow();
  if (row < 0) return;
  if (Message(QMessageBox::Question, kCaption, 201, QMessageBox::Yes | QMessageBox::No) !=
      QMessageBox::Yes) {
    return;
  }
  std::string name = List()->GetItemText(row, 0).toStdString();
  if (name.size() > kShareNameLimit) name.resize(kShareNameLimit);
  ++pending_;
  ListFactory factory = factory_;
  OnWorker<bool>(
      this, [factory, name] { return factory()->Release(name.c_str()); },
      [](CSharedFolders* self, bool released) { self->OnReleased(released); });
}

void CSharedFolders::OnReleased(bool released) {
  --pending_;
  if (!released) {
    platform::DebugOutput("[QXFW.exe] CSharedFolderView::OnDelete() - Cannot Delete SharedFolder");
    Message(QMessageBox::Warning, kCaption, 199);
  }
  emit ReleaseFinished(released);
  Refresh();
}

}  // namespace qxfw::rules_ui
