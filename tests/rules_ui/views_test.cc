// The program, IP/port and shared-folder lists driven through their page commands, with the
// dialogs filled and message boxes answered as a user would, over a real rule data file and a
// Samba configuration of the test's own.
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "controls/qx_list_ctrl.h"
#include "modal_driver.h"
#include "monitor/shared_folder_list.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/add_port_dlg.h"
#include "rules_ui/dialog_fields.h"
#include "rules_ui/icon_cache.h"
#include "rules_ui/policy_dlg.h"
#include "rules_ui/port_rules.h"
#include "rules_ui/program_rules.h"
#include "rules_ui/shared_folders.h"
#include "store/db_manager.h"
#include "store/preferences.h"
#include "store/string_table.h"
#include "test_support/temp_dir.h"

using namespace qxfw::rules_ui;
using namespace qxfw::rules_ui_test;
using qxfw::store::CDBManager;
using qxfw::store::tagFIREWALL_PORTIP;
using qxfw::store::tagFIREWALL_PROGRAM;

namespace {

QString English(int id) {
  return QString::fromUtf8(qxfw::store::kEnglishStrings[id]);
}

void Click(CSkinDialog& dialog, int id) {
  QWidget* control = dialog.Control(id);
  QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, control->height() / 2));
}

void SetText(CSkinDialog& dialog, int id, const QString& text) {
  dialog.ControlAs<QLineEdit>(id)->setText(text);
}

QStringList Row(qxfw::controls::CQXListCtrl* list, int row) {
  QStringList texts;
  for (int c = 0; c < list->ColumnCount(); ++c) texts << list->GetItemText(row, c);
  return texts;
}

QStringList Column(qxfw::controls::CQXListCtrl* list, int column) {
  QStringList texts;
  for (int r = 0; r < list->GetItemCount(); ++r) texts << list->GetItemText(r, column);
  return texts;
}

// Fills the add-program dialog with path and an action radio, then presses OK.
void AnswerAddProgram(const QString& path, int radio) {
  WhenModal("CAddDlg", [path, radio](QWidget* widget) {
    auto* dialog = static_cast<CAddDlg*>(widget);
    SetText(*dialog, CAddDlg::kPath, path);
    Click(*dialog, radio);
    Click(*dialog, CSkinDialog::kOk);
  });
}

std::vector<std::string> StoredPaths(CDBManager& db) {
  std::vector<std::string> paths;
  db.Select(CDBManager::kSelectRuleFile);
  tagFIREWALL_PROGRAM rule{};
  while (db.Select(CDBManager::kSelectProgram) != 0) {
    if (db.GetProgram(&rule) != 0) paths.emplace_back(rule.path);
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

tagFIREWALL_PROGRAM Program(const char* path, int16_t action) {
  tagFIREWALL_PROGRAM rule{};
  rule.action = action;
  std::strcpy(rule.path, path);
  return rule;
}

}  // namespace

class ViewsTest : public QObject {
  Q_OBJECT
 private:
  std::unique_ptr<qxfw::test_support::TempDir> dir_;
  std::unique_ptr<CDBManager> db_;
  std::unique_ptr<QWidget> host_;

  // Closes and reopens the store: what the file holds, not what a cache remembers.
  void Reopen() {
    db_.reset();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QVERIFY(db_->IsRuleFileOpen());
  }

 private slots:
  void init() {
    dir_ = std::make_unique<qxfw::test_support::TempDir>();
    db_ = std::make_unique<CDBManager>(dir_->path());
    QVERIFY(db_->IsRuleFileOpen());
    host_ = std::make_unique<QWidget>();
    host_->resize(530, 420);
  }
  void cleanup() {
    host_.reset();
    db_.reset();
    dir_.reset();
  }

  void programAddShowsTheRowAndStoresIt() {
    auto* view = new CProgramRules(host_.get(), *db_, English, nullptr);
    host_->show();
    QCOMPARE(view->List()->objectName(), QStringLiteral("1"));
    QCOMPARE(view->List()->geometry(), QRect(15, 145, 480, 200));
    QCOMPARE(view->List()->headerItem()->text(0), English(16));
    AnswerAddProgram("/usr/bin/foo", CAddDlg::kAllow);
    QVERIFY(view->OnCommand("CMDADD"));
    QCOMPARE(view->List()->GetItemCount(), 1);
    QCOMPARE(Row(view->List(), 0), (QStringList{"foo", "/usr/bin/foo", English(10)}));
    // The same path in other letters is the same program.
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    AnswerAddProgram("/USR/BIN/FOO", CAddDlg::kBlock);
    view->OnCommand("cmdAdd");
    QCOMPARE(seen.text, English(88));
    QCOMPARE(seen.caption, English(200));
    QCOMPARE(view->List()->GetItemCount(), 1);
    QVERIFY(!view->OnCommand("cmdScan"));
    host_.reset();
    Reopen();
    QCOMPARE(StoredPaths(*db_), std::vector<std::string>{"/usr/bin/foo"});
  }

  void programStoreFailureIsNotCalledADuplicate() {
    CDBManager noFiles("");
    auto* view = new CProgramRules(host_.get(), noFiles, English, nullptr);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    AnswerAddProgram("/usr/bin/foo", CAddDlg::kAllow);
    view->Add();
    QCOMPARE(seen.text, English(131));
    QCOMPARE(seen.caption, English(200));
    QCOMPARE(view->List()->GetItemCount(), 0);
    QVERIFY(view->Rules().empty());
  }

  void programPolicyRuleAndItsModify() {
    auto* view = new CProgramRules(host_.get(), *db_, English, nullptr);
    WhenModal("CAddDlg", [](QWidget* widget) {
      auto* dialog = static_cast<CAddDlg*>(widget);
      SetText(*dialog, CAddDlg::kPath, "/usr/bin/mailer");
      Click(*dialog, CAddDlg::kAdvanced);
      WhenModal("CPolicyDlg", [dialog](QWidget* policyWidget) {
        auto* policy = static_cast<CPolicyDlg*>(policyWidget);
        Click(*policy, CPolicyDlg::kIpCheck);
        SetText(*policy, CPolicyDlg::kBeginPort, "25");
        SetText(*policy, CPolicyDlg::kEndPort, "25");
        Click(*policy, CSkinDialog::kOk);
        QTimer::singleShot(0, dialog, [dialog] { Click(*dialog, CSkinDialog::kOk); });
      });
      Click(*dialog, CAddDlg::kPolicyAdd);
    });
    view->Add();
    QCOMPARE(view->List()->GetItemCount(), 1);
    QCOMPARE(view->List()->GetItemText(0, 2), English(12));
    QCOMPARE(int{view->Rules()[0].action}, 2);
    QVERIFY(view->Rules()[0].policySlot != 0);
    // Modify twice: each time the dialog opens on the stored table, so the array keeps the
    // policy slot the store holds.
    for (int round = 0; round < 2; ++round) {
      bool opened = false;
      WhenModal("CAddDlg", [&opened](QWidget* widget) {
        auto* dialog = static_cast<CAddDlg*>(widget);
        opened = dialog->PolicyList()->GetItemCount() == 1;
        Click(*dialog, CSkinDialog::kOk);
      });
      view->List()->SelectRow(0);
      view->Modify();
      QVERIFY2(opened, qPrintable(QString::number(round)));
    }
    Reopen();
    tagFIREWALL_PROGRAM stored{};
    db_->Select(CDBManager::kSelectRuleFile);
    QVERIFY(db_->Select(CDBManager::kSelectProgram) != 0);
    QVERIFY(db_->GetProgram(&stored) != 0);
    QCOMPARE(int{stored.action}, 2);
    qxfw::store::tagPOLICY_TABLE table{};
    QVERIFY(db_->GetPolicy(&table, static_cast<uint32_t>(stored.policySlot)) != 0);
    QCOMPARE(table.count, 1u);
    QCOMPARE(int{table.entries[0].beginPort}, 25);
  }

  void programSortDeleteAndModifyKeepRowsAndArrayTogether() {
    for (const char* path : {"/usr/bin/cc", "/opt/aa", "/usr/bin/dd", "/bin/bb"}) {
      tagFIREWALL_PROGRAM rule = Program(path, path[1] == 'u' ? 1 : 0);
      QVERIFY(db_->AddProgram(rule, nullptr) != 0);
    }
    auto* view = new CProgramRules(host_.get(), *db_, English, nullptr);
    QCOMPARE(Column(view->List(), 0), (QStringList{"aa", "bb", "cc", "dd"}));
    // The Action header twice: ascending, then descending.
    view->List()->Header()->sectionClicked(2);
    QVERIFY(view->List()->Header()->SortAscending());
    QCOMPARE(Column(view->List(), 2),
             (QStringList{English(11), English(11), English(10), English(10)}));
    view->List()->Header()->sectionClicked(2);
    QVERIFY(!view->List()->Header()->SortAscending());
    QCOMPARE(Column(view->List(), 2),
             (QStringList{English(10), English(10), English(11), English(11)}));
    view->List()->Header()->sectionClicked(1);
    QCOMPARE(Column(view->List(), 1),
             (QStringList{"/bin/bb", "/opt/aa", "/usr/bin/cc", "/usr/bin/dd"}));
    // Deleting the selected row removes exactly that rule.
    view->List()->SelectRow(2);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Yes, &seen);
    QTest::keyClick(view->List(), Qt::Key_Delete);
    QCOMPARE(seen.text, English(83));
    QCOMPARE(seen.caption, English(200));
    QCOMPARE(Column(view->List(), 1), (QStringList{"/bin/bb", "/opt/aa", "/usr/bin/dd"}));
    QCOMPARE(StoredPaths(*db_), (std::vector<std::string>{"/bin/bb", "/opt/aa", "/usr/bin/dd"}));
    // No selection: nothing asked.
    view->List()->SelectRow(-1);
    view->OnCommand("cmdDelete");
    QCOMPARE(seen.count, 1);
    // Allow -> Block keeps the row's place.
    view->List()->SelectRow(2);
    WhenModal("CAddDlg", [](QWidget* widget) {
      auto* dialog = static_cast<CAddDlg*>(widget);
      Click(*dialog, CAddDlg::kBlock);
      Click(*dialog, CSkinDialog::kOk);
    });
    view->OnCommand("cmdModify");
    QCOMPARE(Row(view->List(), 2), (QStringList{"dd", "/usr/bin/dd", English(11)}));
    QCOMPARE(int{view->Rules()[2].action}, 0);
  }

  // A long list has its rows built on a worker: until they arrive the list has none, so no
  // command acts on a row; then row i shows rule i, also after a delete, add and sort.
  void longProgramListGetsItsRowsFromAWorker() {
    CProgramRules::SetSyncRows(25);
    struct Restore {
      ~Restore() { CProgramRules::SetSyncRows(2000); }
    } restore;
    for (int i = 0; i < 120; ++i) {
      tagFIREWALL_PROGRAM rule =
          Program(qPrintable(QStringLiteral("/opt/long/p%1").arg(i, 3, 10, QChar('0'))), 1);
      QVERIFY(db_->AddProgram(rule, nullptr) != 0);
    }
    auto* view = new CProgramRules(host_.get(), *db_, English, nullptr);
    QSignalSpy shown(view, &CProgramRules::RowsShown);
    auto rowsAreTheArrays = [view] {
      if (view->List()->GetItemCount() != static_cast<int>(view->Rules().size())) return false;
      for (int row = 0; row < view->List()->GetItemCount(); ++row) {
        if (view->List()->GetItemText(row, 1) != QString(view->Rules()[row].path)) return false;
      }
      return true;
    };
    QVERIFY(view->RowsPending());
    QCOMPARE(view->List()->GetItemCount(), 0);
    QCOMPARE(view->Rules().size(), size_t{120});
    // Nothing to act on yet: no question, nothing deleted.
    SeenMessage seen;
    view->OnCommand("cmdDelete");
    QCOMPARE(seen.count, 0);
    QTRY_COMPARE(shown.count(), 1);
    QVERIFY(!view->RowsPending());
    QVERIFY(rowsAreTheArrays());
    // Deleting the selected row removes exactly its rule.
    view->List()->SelectRow(10);
    AnswerMessage(QMessageBox::Yes, &seen);
    view->Delete();
    QCOMPARE(seen.count, 1);
    QVERIFY(rowsAreTheArrays());
    std::vector<std::string> stored = StoredPaths(*db_);
    QCOMPARE(stored.size(), size_t{119});
    QVERIFY(std::find(stored.begin(), stored.end(), "/opt/long/p010") == stored.end());
    // An added rule is selected once the rows are there.
    AnswerAddProgram("/opt/long/p999", CAddDlg::kBlock);
    view->Add();
    QVERIFY(view->RowsPending());
    QTRY_COMPARE(shown.count(), 2);
    QVERIFY(rowsAreTheArrays());
    QCOMPARE(view->List()->GetSelectedRow(), 119);
    QCOMPARE(view->List()->GetItemText(119, 1), QStringLiteral("/opt/long/p999"));
    // A second sort before the first one's rows arrived takes its place.
    view->List()->Header()->sectionClicked(0);
    view->List()->Header()->sectionClicked(0);
    QTRY_COMPARE(shown.count(), 3);
    QTest::qWait(100);
    QCOMPARE(shown.count(), 3);
    QVERIFY(rowsAreTheArrays());
    QCOMPARE(view->List()->GetItemText(0, 1), QStringLiteral("/opt/long/p999"));
  }

  void programChangesFromElsewhereShowOnRefresh() {
    auto* view = new CProgramRules(host_.get(), *db_, English, nullptr);
    tagFIREWALL_PROGRAM rule = Program("/usr/bin/elsewhere", 1);
    QVERIFY(db_->AddProgram(rule, nullptr) != 0);
    view->Refresh();
    QCOMPARE(Column(view->List(), 1), QStringList{"/usr/bin/elsewhere"});
    // F5 re-reads too.
    QVERIFY(db_->DeleteProgram(rule) != 0);
    QTest::keyClick(view->List(), Qt::Key_F5);
    QCOMPARE(view->List()->GetItemCount(), 0);
  }

  void doubleClickOpensTheProgramInformationAndWidthsComeFromThePreferences() {
    qxfw::store::CPreferences prefs(dir_->path());
    prefs.SetColumnWidth(qxfw::store::kProgramListView, 1, 300);
    tagFIREWALL_PROGRAM rule = Program("/usr/bin/shown", 1);
    QVERIFY(db_->AddProgram(rule, nullptr) != 0);
    auto* view = new CProgramRules(host_.get(), *db_, English, &prefs);
    QCOMPARE(view->List()->GetColumnWidth(1), 300);
    std::string opened;
    view->SetInfoOpener([&opened](QWidget*, const std::string& path) { opened = path; });
    emit view->List()->rowDoubleClicked(0);
    QCOMPARE(opened, std::string("/usr/bin/shown"));
  }

  void iconsAreLookedUpOncePerPath() {
    static int calls = 0;
    calls = 0;
    CProgramIconCache cache(
        [](const std::string&) {
          ++calls;
          return std::string();
        },
        nullptr);
    for (int round = 0; round < 3; ++round) {
      cache.Icon("/usr/bin/a");
      cache.Icon("/usr/bin/b");
      cache.Flush();
    }
    QCOMPARE(cache.LookupsStarted(), size_t{1});
    QTRY_COMPARE(calls, 2);
    QVERIFY(!cache.Icon("/usr/bin/a").isNull());
  }

  void portRulesRowsAndProtection() {
    tagFIREWALL_PORTIP system{};
    system.action = 1;
    system.beginPort = 137;
    system.endPort = 139;
    system.protocol = 2;
    system.portType = 2;
    std::strcpy(system.description, "NetBIOS");
    QVERIFY(db_->AddPortIp(system) != 0);
    auto* view = new CPortRules(host_.get(), *db_, English, nullptr);
    QCOMPARE(Row(view->List(), 0),
             (QStringList{"*:137", "*:139", "UDP", "NetBIOS", English(96), English(10)}));
    // Address only.
    WhenModal("CAddPortDlg", [](QWidget* widget) {
      auto* dialog = static_cast<CAddPortDlg*>(widget);
      Click(*dialog, CAddPortDlg::kPortCheck);
      SetText(*dialog, CAddPortDlg::kBeginIp, "10.0.0.1");
      SetText(*dialog, CAddPortDlg::kEndIp, "10.0.0.9");
      Click(*dialog, CSkinDialog::kOk);
    });
    view->OnCommand("cmdAdd");
    QCOMPARE(Row(view->List(), 1),
             (QStringList{"10.0.0.1:*", "10.0.0.9:*", "ALL", "", "", English(10)}));
    // The system port rule cannot be deleted and its row stays.
    view->List()->SelectRow(0);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    view->OnCommand("cmdDelete");
    QCOMPARE(seen.text, English(89));
    QCOMPARE(seen.caption, English(173));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(view->List()->GetItemCount(), 2);
    // The same key with the other action is a duplicate.
    WhenModal("CAddPortDlg", [](QWidget* widget) {
      auto* dialog = static_cast<CAddPortDlg*>(widget);
      Click(*dialog, CAddPortDlg::kPortCheck);
      SetText(*dialog, CAddPortDlg::kBeginIp, "10.0.0.1");
      SetText(*dialog, CAddPortDlg::kEndIp, "10.0.0.9");
      Click(*dialog, CAddPortDlg::kBlock);
      Click(*dialog, CSkinDialog::kOk);
    });
    AnswerMessage(QMessageBox::Ok, &seen);
    view->Add();
    QCOMPARE(seen.text, English(88));
    QCOMPARE(seen.caption, English(173));
    QCOMPARE(view->List()->GetItemCount(), 2);
    // The description header orders by action; the first click ascending.
    view->List()->Header()->sectionClicked(3);
    QVERIFY(view->List()->Header()->SortAscending());
    // Deleting the address rule after the sort removes that rule.
    const int addressRow = view->List()->GetItemText(0, 2) == "ALL" ? 0 : 1;
    view->List()->SelectRow(addressRow);
    AnswerMessage(QMessageBox::Yes, &seen);
    view->Delete();
    QCOMPARE(view->List()->GetItemCount(), 1);
    QCOMPARE(view->List()->GetItemText(0, 3), QStringLiteral("NetBIOS"));
    Reopen();
    db_->Select(CDBManager::kSelectRuleFile);
    int stored = 0;
    while (db_->Select(CDBManager::kSelectPortIp) != 0) ++stored;
    QCOMPARE(stored, 1);
  }

  // Each store refusal is told by its cause, and the rows are read again from the store.
  void portStoreFailuresAreReportedByCause() {
    auto addressRule = [](const QString& begin, const QString& end) {
      WhenModal("CAddPortDlg", [begin, end](QWidget* widget) {
        auto* dialog = static_cast<CAddPortDlg*>(widget);
        Click(*dialog, CAddPortDlg::kPortCheck);
        SetText(*dialog, CAddPortDlg::kBeginIp, begin);
        SetText(*dialog, CAddPortDlg::kEndIp, end);
        Click(*dialog, CSkinDialog::kOk);
      });
    };
    {
      CDBManager noFiles("");
      auto* broken = new CPortRules(host_.get(), noFiles, English, nullptr);
      SeenMessage failed;
      AnswerMessage(QMessageBox::Ok, &failed);
      addressRule("10.0.0.1", "10.0.0.9");
      broken->Add();
      QCOMPARE(failed.text, English(131));
      QCOMPARE(failed.caption, English(173));
      QCOMPARE(failed.icon, QMessageBox::Critical);
      QCOMPARE(broken->List()->GetItemCount(), 0);
      delete broken;
    }
    auto* view = new CPortRules(host_.get(), *db_, English, nullptr);
    addressRule("10.0.0.1", "10.0.0.9");
    view->Add();
    addressRule("10.0.1.1", "10.0.1.9");
    view->Add();
    addressRule("10.0.2.1", "10.0.2.9");
    view->Add();
    QCOMPARE(view->List()->GetItemCount(), 3);
    // Modified into another rule's key: a duplicate; both rules stay as they were.
    view->List()->SelectRow(1);
    SeenMessage seen;
    AnswerMessage(QMessageBox::Ok, &seen);
    WhenModal("CAddPortDlg", [](QWidget* widget) {
      auto* dialog = static_cast<CAddPortDlg*>(widget);
      SetText(*dialog, CAddPortDlg::kBeginIp, "10.0.0.1");
      SetText(*dialog, CAddPortDlg::kEndIp, "10.0.0.9");
      Click(*dialog, CSkinDialog::kOk);
    });
    view->Modify();
    QCOMPARE(seen.text, English(88));
    QCOMPARE(Column(view->List(), 0), (QStringList{"10.0.0.1:*", "10.0.1.1:*", "10.0.2.1:*"}));
    // A rule deleted behind the list's back: the delete fails, is told, and its row goes.
    tagFIREWALL_PORTIP gone = view->Rules()[2];
    QVERIFY(db_->DeletePortIp(gone) != 0);
    view->List()->SelectRow(2);
    WhenModal("MessageBox", [&seen](QWidget* widget) {
      AnswerMessage(QMessageBox::Ok, &seen);  // the failure that follows Yes
      static_cast<QMessageBox*>(widget)->button(QMessageBox::Yes)->click();
    });
    view->Delete();
    QCOMPARE(seen.text, English(199));
    QCOMPARE(seen.caption, English(173));
    QCOMPARE(Column(view->List(), 0), (QStringList{"10.0.0.1:*", "10.0.1.1:*"}));
    QCOMPARE(view->Rules().size(), size_t{2});
  }

  void sharedFoldersListAndRelease() {
    if (std::system("command -v net >/dev/null && command -v testparm >/dev/null") != 0) {
      QSKIP("Samba's command-line tools (samba-common-bin) are not installed");
    }
    namespace fs = std::filesystem;
    const std::string root = dir_->path() + "/samba";
    const std::string shares = root + "/usershares";
    const std::string data = root + "/data";
    fs::create_directories(shares);
    fs::create_directories(data);
    fs::permissions(shares, fs::perms::all | fs::perms::sticky_bit);
    const std::string conf = root + "/smb.conf";
    {
      std::ofstream out(conf);
      out << "[global]\n  usershare path = " << shares << "\n  usershare max shares = 10\n"
          << "  usershare owner only = no\n  usershare allow guests = yes\n"
          << "  lock directory = " << root << "\n  state directory = " << root << "\n"
          << "  cache directory = " << root << "\n  private dir = " << root << "\n";
    }
    const std::string add = "net --configfile='" + conf + "' usershare add qxtest '" + data +
                            "' '' S-1-1-0:F >/dev/null 2>&1";
    QCOMPARE(std::system(add.c_str()), 0);
    auto factory = [conf] {
      qxfw::monitor::CSharedFolderList::Options options;
      options.smbConf = conf;
      options.searchPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
      return std::make_unique<qxfw::monitor::CSharedFolderList>(options);
    };
    auto* view = new CSharedFolders(host_.get(), English, nullptr, factory);
    QTRY_COMPARE(view->List()->GetItemCount(), 1);
    QCOMPARE(Row(view->List(), 0),
             (QStringList{"qxtest", QString::fromStdString(data), English(10)}));
    // No keeps the share.
    view->List()->SelectRow(0);
    SeenMessage seen;
    AnswerMessage(QMessageBox::No, &seen);
    view->OnCommand("cmdDelete");
    QCOMPARE(seen.text, English(201));
    QCOMPARE(seen.caption, English(202));
    QVERIFY(!view->Busy());
    QVERIFY(fs::exists(shares + "/qxtest"));
    // Yes releases it and the list is read again.
    QSignalSpy released(view, &CSharedFolders::ReleaseFinished);
    AnswerMessage(QMessageBox::Yes, &seen);
    view->OnCommand("cmdDelete");
    QTRY_COMPARE(released.count(), 1);
    QCOMPARE(released.at(0).at(0).toBool(), true);
    QTRY_COMPARE(view->List()->GetItemCount(), 0);
    QVERIFY(!fs::exists(shares + "/qxtest"));
  }

  void sharedFolderThatCannotBeReleasedIsReported() {
    if (std::system("command -v net >/dev/null && command -v testparm >/dev/null") != 0) {
      QSKIP("Samba's command-line tools (samba-common-bin) are not installed");
    }
    namespace fs = std::filesystem;
    const std::string root = dir_->path() + "/samba";
    fs::create_directories(root + "/fixed");
    const std::string conf = root + "/smb.conf";
    {
      std::ofstream out(conf);
      out << "[global]\n  lock directory = " << root << "\n  state directory = " << root
          << "\n  cache directory = " << root << "\n  private dir = " << root << "\n"
          << "[fixed]\n  path = " << root << "/fixed\n";
    }
    auto factory = [conf] {
      qxfw::monitor::CSharedFolderList::Options options;
      options.smbConf = conf;
      options.searchPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
      return std::make_unique<qxfw::monitor::CSharedFolderList>(options);
    };
    auto* view = new CSharedFolders(host_.get(), English, nullptr, factory);
    QTRY_COMPARE(view->List()->GetItemCount(), 1);
    view->List()->SelectRow(0);
    SeenMessage asked, failed;
    AnswerMessage(QMessageBox::Yes, &asked);
    QSignalSpy released(view, &CSharedFolders::ReleaseFinished);
    view->Delete();
    AnswerMessage(QMessageBox::Ok, &failed);
    QTRY_COMPARE(failed.count, 1);
    QCOMPARE(failed.text, English(199));
    QCOMPARE(failed.caption, English(202));
    QCOMPARE(released.count(), 1);
    QTRY_VERIFY(!view->Busy());
    QCOMPARE(view->List()->GetItemText(0, 0), QStringLiteral("fixed"));
  }
};

int RunViewsTests(int argc, char** argv) {
  ViewsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "views_test.moc"
