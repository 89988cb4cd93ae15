// Not a test: pictures of the rule lists and the rule and process dialogs, for
// scripts/rules_screenshots.sh. Arguments: output folder, language ("en" or "kr"), and the
// data folder holding Firewall.ini and UserOpts.ini (the real translation reader picks the
// texts). The lists show rules of a store made here.
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "controls/qx_list_ctrl.h"
#include "monitor/mng_port_list.h"
#include "monitor/shared_folder_list.h"
#include "monitor/ui/process_list_dlg.h"
#include "monitor/ui/process_properties.h"
#include "monitor/ui/program_info_dlg.h"
#include "rules_ui/add_dlg.h"
#include "rules_ui/add_port_dlg.h"
#include "rules_ui/policy_dlg.h"
#include "rules_ui/port_rules.h"
#include "rules_ui/program_rules.h"
#include "rules_ui/shared_folders.h"
#include "store/db_manager.h"
#include "store/preferences.h"
#include "test_support/temp_dir.h"

using namespace qxfw;

namespace {

void Save(QWidget& widget, const QString& out, const QString& lang, const QString& name) {
  widget.show();
  QTest::qWait(150);
  widget.grab().save(out + "/" + lang + "-" + name + ".png");
  widget.hide();
}

void Fill(store::CDBManager& db) {
  const char* programs[] = {"/usr/bin/firefox-esr", "/usr/bin/ssh", "/usr/bin/curl",
                            "/usr/lib/thunderbird/thunderbird", "/usr/bin/wget"};
  int16_t action = 0;
  for (const char* path : programs) {
    store::tagFIREWALL_PROGRAM rule{};
    rule.action = action;
    action = static_cast<int16_t>((action + 1) % 2);
    std::strcpy(rule.path, path);
    db.AddProgram(rule, nullptr);
  }
  store::tagFIREWALL_PROGRAM mailer{};
  mailer.action = 2;
  std::strcpy(mailer.path, "/usr/bin/mutt");
  store::tagPOLICY_TABLE table{};
  table.count = 2;
  table.entries[0] = {1, {}, 0, 0, 25, 25, 1, {}};
  table.entries[1] = {0, {}, 0x0A000001, 0x0A0000FF, 0, 0, 0, {}};
  db.AddProgram(mailer, &table);
  store::tagFIREWALL_PORTIP rules[3] = {};
  rules[0] = {1, 137, 139, {}, 0, 0, 2, "NetBIOS", 2};
  rules[1] = {0, 31337, 31337, {}, 0, 0, 1, "Back Orifice", 3};
  rules[2] = {1, 0, 0, {}, 0x0A000001, 0x0A000009, 4, "", 4};
  for (auto& rule : rules) db.AddPortIp(rule);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 4) return 2;
  const QString out = argv[1];
  const QString lang = argv[2];
  QDir().mkpath(out);
  if (lang == "kr") QApplication::setFont(QFont(QStringLiteral("NanumGothic"), 9));
  store::CPreferences prefs(argv[3]);
  rules_ui::TextSource texts = [&prefs](int id) { return QString::fromUtf8(prefs.GetText(id)); };
  test_support::TempDir dir;
  store::CDBManager db(dir.path());
  Fill(db);

  QWidget page;
  page.setFixedSize(510, 360);
  page.setAutoFillBackground(true);
  page.setPalette(QPalette(Qt::white));
  auto* programs = new rules_ui::CProgramRules(&page, db, texts, &prefs);
  Save(page, out, lang, "program-list");
  delete programs;
  auto* ports = new rules_ui::CPortRules(&page, db, texts, &prefs);
  Save(page, out, lang, "port-list");
  delete ports;
  // Two shares of a Samba configuration made here.
  const std::string samba = dir.path() + "/samba";
  std::filesystem::create_directories(samba + "/Documents");
  std::filesystem::create_directories(samba + "/Music");
  const std::string conf = samba + "/smb.conf";
  std::ofstream(conf) << "[global]\n  lock directory = " << samba
                      << "\n  state directory = " << samba << "\n  cache directory = " << samba
                      << "\n  private dir = " << samba << "\n[Documents]\n  path = " << samba
                      << "/Documents\n[Music]\n  path = " << samba << "/Music\n";
  auto* folders = new rules_ui::CSharedFolders(&page, texts, &prefs, [conf] {
    monitor::CSharedFolderList::Options options;
    options.smbConf = conf;
    options.searchPath = "/usr/bin:/bin:/usr/sbin:/sbin";
    return std::make_unique<monitor::CSharedFolderList>(options);
  });
  page.show();
  for (int i = 0; i < 100 && folders->List()->GetItemCount() < 2; ++i) QTest::qWait(50);
  Save(page, out, lang, "shared-folders");
  delete folders;

  rules_ui::CAddDlg add(texts, db, rules_ui::CAddDlg::Mode::kAdd);
  Save(add, out, lang, "add-program");
  store::tagFIREWALL_PROGRAM mailer{};
  db.Select(store::CDBManager::kSelectRuleFile);
  while (db.Select(store::CDBManager::kSelectProgram) != 0) {
    store::tagFIREWALL_PROGRAM rule{};
    db.GetProgram(&rule);
    if (rule.action == 2) mailer = rule;
  }
  rules_ui::CAddDlg modify(texts, db, rules_ui::CAddDlg::Mode::kModify, mailer);
  Save(modify, out, lang, "modify-program");
  rules_ui::CAddPortDlg port(texts, std::nullopt);
  Save(port, out, lang, "add-port");
  store::tagFIREWALL_PORTIP system = {1, 137, 139, {}, 0, 0, 2, "NetBIOS", 2};
  rules_ui::CAddPortDlg protectedPort(texts, system);
  Save(protectedPort, out, lang, "modify-system-port");
  rules_ui::CPolicyDlg policy(texts, std::nullopt);
  Save(policy, out, lang, "policy");

  monitor::CProcessListDlg processes(texts);
  processes.show();
  for (int i = 0; i < 200 && !processes.Filled(); ++i) QTest::qWait(50);
  Save(processes, out, lang, "process-list");
  monitor::PortInfo row{};
  row.processId = static_cast<uint32_t>(QCoreApplication::applicationPid());
  std::strcpy(row.localAddress, "127.0.0.1");
  row.localPort = 5353;
  monitor::CProcessProperties properties(texts, db, row);
  properties.show();
  for (int i = 0; i < 200 && !properties.Filled(); ++i) QTest::qWait(50);
  Save(properties, out, lang, "process-properties");
  monitor::CProgramInfoDlg info(texts, "/usr/bin/ls");
  info.show();
  for (int i = 0; i < 200 && !info.Filled(); ++i) QTest::qWait(50);
  Save(info, out, lang, "program-information");
  return 0;
}
