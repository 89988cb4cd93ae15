// The program list of the running firewall program over the real filter daemon: a rule added
// and changed with the page's own buttons and the add-program dialog decides the next real
// connection of that program, and a rule that qxfwctl hands to the running program shows in the
// open list at once and decides connections too.
//
// The windowed program runs in this process (offscreen) with the daemon of the test's own client
// namespace. The binary is named like the firewall program, since qxfwctl hands its command only
// to a rule file holder of that name. The presence event of the companion is held by the test,
// so the program's watchdog keeps it running. Needs root.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QWebEnginePage>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "controls/qx_list_ctrl.h"
#include "firewall/filter_test_fixture.h"
#include "platform/named_event.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/modal_driver.h"
#include "rules_ui/program_rules.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "shell/ui/page_view.h"
#include "store/string_table.h"

namespace qxfw::firewall {
namespace {

using namespace filter_testing;
using rules_ui::CAddDlg;
using rules_ui::CSkinDialog;
using rules_ui_test::WhenModal;

constexpr int kProgramPage = 2;

std::string English(int id) {
  return store::kEnglishStrings[id];
}

// Runs work on a thread of its own while this thread serves the program's events (its poll
// timer decides the held connections, its link answers qxfwctl).
template <typename Work>
auto WhileServing(Work work) {
  auto result = std::async(std::launch::async, std::move(work));
  while (result.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    QTest::qWait(10);
  }
  return result.get();
}

class ProgramPageOverDaemonTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    system_ = std::make_unique<test_support::TempDir>();
    // The program reads these when it starts; its children (qxfwctl) inherit them.
    setenv("QXFW_APPDATA", appdata_->path().c_str(), 1);
    setenv("QXFW_RUNTIME_DIR", runtime_->path().c_str(), 1);
    setenv("QXFW_SYSTEM_DIR", system_->path().c_str(), 1);
    // The user's events exist once per machine: while another test's program or companion
    // holds them, this one waits.
    auto giveUp = Clock::now() + std::chrono::seconds(90);
    int error = 0;
    do {
      if (!platform::NamedEventExists(shell::kRunningEventName, platform::EventScope::kUser)) {
        companion_ = platform::NamedEventCreator::Create(shell::kCompanionEventName,
                                                         platform::EventScope::kUser, &error);
      }
      if (!companion_) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (!companion_ && Clock::now() < giveUp);
    ASSERT_TRUE(companion_ != nullptr) << "companion event: errno " << error;
    app_ = std::make_unique<shell::CFireWallApp>();
    ASSERT_TRUE(app_->InitInstance("/a:off"));
    app_->ShowPage(kProgramPage);
    shell::CPageView* view = app_->View(kProgramPage);
    ASSERT_TRUE(view != nullptr);
    for (int i = 0; i < 1500 && !view->IsPageLoaded(); ++i) QTest::qWait(10);
    ASSERT_TRUE(view->IsPageLoaded());
    ASSERT_TRUE(view->PageList() != nullptr);
    programs_ = dynamic_cast<rules_ui::CProgramRules*>(view->PageList());
    ASSERT_TRUE(programs_ != nullptr);
  }
  void TearDown() override {
    if (app_) {
      app_->ExitInstance();
      app_.reset();
    }
    companion_.reset();
    FilterTest::TearDown();
  }

  // Presses a button of the program page, as the user's click on it does.
  void PressPageButton(const char* command) {
    shell::CPageView* view = app_->View(kProgramPage);
    bool done = false;
    view->page()->runJavaScript(
        QStringLiteral("document.querySelector('a[href=\"app:%1\"]').click(); true")
            .arg(QLatin1String(command)),
        [&done](const QVariant&) { done = true; });
    for (int i = 0; i < 500 && !done; ++i) QTest::qWait(10);
    ASSERT_TRUE(done) << command;
  }
  // Waits for the dialog that a page button opens to be served and closed.
  static void WaitServed(const bool& served) {
    for (int i = 0; i < 1000 && !served; ++i) QTest::qWait(10);
    ASSERT_TRUE(served);
    QTest::qWait(50);
  }

  int RowOf(const std::string& path) const {
    controls::CQXListCtrl* list = programs_->List();
    for (int row = 0; row < list->GetItemCount(); ++row) {
      if (list->GetItemText(row, 1) == QString::fromStdString(path)) return row;
    }
    return -1;
  }
  std::string Text(int row, int column) const {
    return programs_->List()->GetItemText(row, column).toStdString();
  }
  std::pair<int, std::string> Connect(const std::string& program) {
    std::vector<std::string> argv = Probe("tcp", kServer, 80, 5000);
    argv[0] = program;
    return WhileServing([this, argv] { return Client(argv); });
  }

  std::unique_ptr<test_support::TempDir> system_;
  std::unique_ptr<platform::NamedEventCreator> companion_;
  std::unique_ptr<shell::CFireWallApp> app_;
  rules_ui::CProgramRules* programs_ = nullptr;
};

TEST_F(ProgramPageOverDaemonTest, RulesOfTheOpenListDecideRealConnections) {
  const std::string probe = NET_PROBE_PATH;
  ASSERT_EQ(RowOf(probe), -1);

  // Add, Block: the row shows, and the next connection of the probe is refused at once.
  bool served = false;
  WhenModal("CAddDlg", [&served, probe](QWidget* widget) {
    auto* dialog = static_cast<CAddDlg*>(widget);
    dialog->ControlAs<QLineEdit>(CAddDlg::kPath)->setText(QString::fromStdString(probe));
    dialog->ControlAs<QAbstractButton>(CAddDlg::kBlock)->click();
    dialog->ControlAs<QAbstractButton>(CSkinDialog::kOk)->click();
    served = true;
  });
  PressPageButton("cmdAdd");
  WaitServed(served);
  int row = RowOf(probe);
  ASSERT_GE(row, 0);
  EXPECT_EQ(Text(row, 2), English(11));
  auto [blocked, blockedOut] = Connect(probe);
  EXPECT_EQ(blocked, 1) << blockedOut;  // refused
  EXPECT_LT(Millis(blockedOut), 1000) << blockedOut;

  // Modify to Allow: the next connection passes.
  programs_->List()->SelectRow(row);
  served = false;
  WhenModal("CAddDlg", [&served](QWidget* widget) {
    auto* dialog = static_cast<CAddDlg*>(widget);
    dialog->ControlAs<QAbstractButton>(CAddDlg::kAllow)->click();
    dialog->ControlAs<QAbstractButton>(CSkinDialog::kOk)->click();
    served = true;
  });
  PressPageButton("cmdModify");
  WaitServed(served);
  row = RowOf(probe);
  ASSERT_GE(row, 0);
  EXPECT_EQ(Text(row, 2), English(10));
  auto [allowed, allowedOut] = Connect(probe);
  EXPECT_EQ(allowed, 0) << allowedOut;
  EXPECT_LT(Millis(allowedOut), 1000) << allowedOut;
}

TEST_F(ProgramPageOverDaemonTest, QxfwctlRuleShowsInTheOpenListAndDecides) {
  // A copy of the probe is another program: it gets its rule from qxfwctl.
  const std::string copy = appdata_->path() + "/probe-copy";
  std::filesystem::copy_file(NET_PROBE_PATH, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  ASSERT_EQ(RowOf(copy), -1);
  auto [status, out] = WhileServing([copy] {
    Child ctl({QXFWCTL_PATH, "rules", "add-program", "block", copy}, {}, true);
    ctl.WaitFor("\x01", 20000);
    int code = ctl.Wait();
    return std::make_pair(code, ctl.Seen());
  });
  ASSERT_EQ(status, 0) << out;
  // No refresh key: the list follows the running program's change by itself.
  for (int i = 0; i < 300 && RowOf(copy) < 0; ++i) QTest::qWait(10);
  const int row = RowOf(copy);
  ASSERT_GE(row, 0);
  EXPECT_EQ(Text(row, 0), "probe-copy");
  EXPECT_EQ(Text(row, 2), English(11));
  auto [blocked, blockedOut] = Connect(copy);
  EXPECT_EQ(blocked, 1) << blockedOut;
  EXPECT_LT(Millis(blockedOut), 1000) << blockedOut;
}

}  // namespace
}  // namespace qxfw::firewall

int main(int argc, char** argv) {
  qxfw::shell::RegisterAppScheme();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
