#include "shell/ui/fire_wall_app.h"

#include <sys/stat.h>
#include <unistd.h>

#include <malloc.h>

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTreeView>
#include <cerrno>
#include <cstdio>
#include <sstream>

#include "ctl/program_link.h"
#include "ctl/rules_commands.h"
#include "firewall/firewall_driver.h"
#include "firewall/security_level.h"
#include "firewall/trusted_path_list.h"
#include "firewall/trusted_programs.h"
#include "firewall/ui/security_options.h"
#include "monitor/ui/log_view.h"
#include "monitor/ui/network_view.h"
#include "monitor/ui/process_list_dlg.h"
#include "monitor/ui/process_properties.h"
#include "monitor/ui/program_info_dlg.h"
#include "monitor/ui/status_wnd.h"
#include "monitor/ui/whois_record.h"
#include "platform/debug_output.h"
#include "platform/event_folder.h"
#include "platform/folders.h"
#include "platform/named_event.h"
#include "platform/package_db.h"
#include "rules_ui/port_rules.h"
#include "rules_ui/program_rules.h"
#include "rules_ui/shared_folders.h"
#include "shell/app_command.h"
#include "shell/app_paths.h"
#include "shell/av_state.h"
#include "shell/command_runner.h"
#include "shell/debug.h"
#include "shell/instance_link.h"
#include "shell/last_scan.h"
#include "shell/page_cabinet.h"
#include "shell/ui/app_events.h"
#include "shell/ui/home_monitor.h"
#include "shell/ui/main_frame.h"
#include "shell/ui/page_views.h"
#include "store/db_manager.h"
#include "store/preferences.h"

namespace qxfw::shell {
namespace {

using platform::DebugOutput;

constexpr uint16_t kKoreanLanguage = 1042;
constexpr int kMinSavedWidth = 10;
constexpr int kMaxSavedWidth = 2000;

bool CompanionPresent() {
  return platform::NamedEventExists(kCompanionEventName, platform::EventScope::kUser);
}

// The page view that a widget belongs to (the browser's own child widgets included).
CPageView* OwningView(QObject* object) {
  for (QObject* o = object; o != nullptr; o = o->parent()) {
    if (auto* view = qobject_cast<CPageView*>(o)) return view;
  }
  return nullptr;
}

}  // namespace

CFireWallApp::CFireWallApp() {
  idleTimer_.setInterval(0);
  connect(&idleTimer_, &QTimer::timeout, this, &CFireWallApp::OnIdle);
  pollTimer_.setInterval(kPollIntervalMs);
  pollTimer_.setObjectName(QString::number(kPollTimerId));
  connect(&pollTimer_, &QTimer::timeout, this, &CFireWallApp::OnPollTimer);
  releaseTimer_.setSingleShot(true);
  releaseTimer_.setInterval(kReleasePagesAfterMs);
  connect(&releaseTimer_, &QTimer::timeout, this, &CFireWallApp::ReleasePages);
  preloadTimer_.setSingleShot(true);
  preloadTimer_.setInterval(kPreloadPauseMs);
  connect(&preloadTimer_, &QTimer::timeout, this, &CFireWallApp::PreloadNext);
}

CFireWallApp::~CFireWallApp() {
  if (packageWarmer_.joinable()) packageWarmer_.join();
  qApp->removeEventFilter(this);
  delete mainFrame_.data();
  runningEvent_.reset();
  DebugOutput("CFireWallApp::~CFireWallApp()");
}

bool CFireWallApp::InitInstance(const std::string& optionText) {
  // The first signature test and the first prompt read the package database: it is read
  // now, off the user-interface thread, and its path index is kept between runs.
  if (platform::EnsureCacheFolder()) {
    platform::PackageDb::Shared().KeepIndexIn(platform::CacheFolder() + "/dpkg-owners");
  }
  packageWarmer_ = std::thread([] { platform::PackageDb::Shared().OwnerOf("/usr/bin/env"); });

  // 1-2: preferences and rule store.
  preferences_ = &store::CPreferences::GetInstance();
  korean_ = preferences_->GetLanguage() == kKoreanLanguage;
  db_ = &store::CDBManager::GetInstance();

  // 3: the command line. Its rules go to the store now, unless another instance holds it.
  options_ = ParseStartOptions(optionText);
  if (options_.HasRules() && db_->IsRuleFileOpen()) StoreRules(options_, *db_);
  if (options_.antivirusEnabled) g_bAntiVirusEnabled = *options_.antivirusEnabled;
  if (options_.startScan) g_bVorpexScanWhenStartEnable = *options_.startScan;
  trayVariant_ = options_.trayMenuVariant.value_or(false);
  for (const std::string& path : options_.trustedPaths) {
    firewall::CTrustedPathList::Instance().Add(path);
  }

  // 4: the antivirus adapter (no antivirus library is bound in this build).
  g_bUpdating = 0;
  g_bInitEngine = 0;
  g_bAVScanRunning = 0;

  // 5: single instance.
  if (!CheckSingleInstance()) return false;

  // 6: engine update at start. Without an antivirus library there is nothing to update; the
  // state says the update did not happen so the antivirus page can tell the user.
  g_bUpdating = 1;
  DebugOutput("[QXFW.exe] CAntiVirusView VUpdateThread EngineUpdateSimple Start");
  g_bUpdating = -1;

  try {
    // 7: platform facts and the stored level. The option l raises the stored level for this
    // run (when f does not forbid it); the stored level itself is kept.
    DebugOutput("[QXFW.exe] CFireWallApp::InitInstance no debug privilege needed here");
    firewall::g_SecurityLevel =
        db_->IsRuleFileOpen() ? firewall::LoadSecurityLevel(*db_) : firewall::kLevelMedium;
    firewall::g_SecurityLevel = LevelAfterOptions(options_, firewall::g_SecurityLevel);

    // 8-9: pages and debug log.
    pageFolder_ = ExtractCabs();
    CDebug::Create(pageFolder_.empty() ? std::string()
                                       : pageFolder_.substr(0, pageFolder_.size() - 1));

    // 10-11: the main window.
    CMainFrame::Options frameOptions;
    frameOptions.korean = korean_;
    frameOptions.turnOffVariant = trayVariant_;
    frameOptions.companionPresent = CompanionPresent;
    mainFrame_ = new CMainFrame(*preferences_, frameOptions);
    connect(mainFrame_, &CMainFrame::PageRequested, this, [this](int page) { ShowPage(page); });
    connect(mainFrame_, &CMainFrame::SeenChanged, this, &CFireWallApp::OnFrameSeen);
    connect(mainFrame_, &CMainFrame::WindowDestroyed, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    connect(this, &CFireWallApp::OptionsRequested, this, &CFireWallApp::RunSecurityOptions,
            Qt::QueuedConnection);
    connect(mainFrame_, &CMainFrame::StatusWindowRequested, this,
            [] { monitor::CStatusDlg::Open(); });

    // 12: fonts of the dialogs.
    const QString family = korean_ ? QStringLiteral("NanumGothic") : QStringLiteral("Verdana");
    fonts_[0] = QFont(family);
    fonts_[0].setPixelSize(12);
    fonts_[1] = fonts_[0];
    fonts_[1].setWeight(QFont::Bold);
    fonts_[2] = QFont(family);
    fonts_[2].setPixelSize(14);

    // 13: the page views. The antivirus page starts with the program unless option a turned
    // the antivirus part off.
    CreateViews();
    InitPage(0);
    connect(views_[0], &CPageView::PageLoaded, this, [](bool ok) {
      static bool once = false;
      if (!once) DebugOutput("[QXFW.exe] CFireWallView home page loaded: %d", ok ? 1 : 0);
      once = true;
    });
    if (!options_.antivirusEnabled.has_value()) g_bAntiVirusEnabled = true;
    if (g_bAntiVirusEnabled) InitPage(7);
    views_[0]->ShowVorpex(g_bAntiVirusEnabled);

    DebugOutput("[QXFW.exe] CFireWallApp::InitInstance() IN");
    // 15: the driver channel. The poll timer runs even without a device: its first step is
    // the companion watchdog. Undecided requests wait in the pending list for the prompt.
    pollTimer_.start();
    firewall::CFirewallDriver& driver = firewall::CFirewallDriver::GetInstance();
    driver.Init(this, firewall::TrustedProgramsOf(CAppPaths()));
    auto context = std::make_shared<firewall::AskContext>();
    context->store = db_;
    context->pending = &pending_;
    context->sendVerdict = [&driver](const firewall::CNETWORK_REQUEST& request, uint32_t verdict) {
      driver.SendVerdict(request, verdict);
    };
    context->text = [this](int id) { return QString::fromUtf8(preferences_->GetText(id)); };
    context->korean = korean_;
    context->refreshPages = [this] { RefreshRulePages(); };
    askContext_ = context;
    poller_ = std::make_unique<firewall::CRequestPoller>(
        driver, pending_,
        [this](const firewall::CNETWORK_REQUEST& request) {
          firewall::CAskDialog::Open(askContext_, request);
        },
        [this] {
          if (mainFrame_) mainFrame_->CheckCompanion();
        });
    StartHomeMonitor();
    // 16: caption.
    mainFrame_->setWindowTitle(QStringLiteral("Talvoran Firewall"));
    // 17: this user's quarantine folder (the installer makes the shared parent).
    std::string quarantine = platform::SystemFolder() + "/quarantine";
    std::string mine = quarantine + "/" + std::to_string(::getuid());
    if (::mkdir(mine.c_str(), 0700) != 0 && errno != EEXIST) {
      DebugOutput("[QXFW.exe] CFireWallApp::InitInstance cannot make %s", mine.c_str());
    }
  } catch (const std::exception&) {
    DebugOutput("[QXFW.exe] CFireWallApp::InitInstance() try catch Exception");
  }
  if (!mainFrame_) return false;
  qApp->installEventFilter(this);
  mainFrame_->show();
  idleTimer_.start();
  // A damaged rule store was repaired on open (or could not be): the user hears of it once.
  if (db_->Damage().Any()) {
    const std::string message =
        store::StoreDamageMessage(db_->Damage(), [this](int number) { return TextOf(number); });
    DebugOutput("[QXFW.exe] CFireWallApp: the rule store was damaged: %s", message.c_str());
    auto* box = new QMessageBox(QMessageBox::Warning,
                                QString::fromStdString(TextOf(store::kTextStoreDamagedTitle)),
                                QString::fromStdString(message), QMessageBox::Ok, mainFrame_);
    box->setObjectName(QStringLiteral("storeDamaged"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  }
  return true;
}

bool CFireWallApp::CheckSingleInstance() {
  int error = 0;
  platform::NamedEventHolder holder;
  runningEvent_ = platform::NamedEventCreator::Create(
      kRunningEventName, platform::EventScope::kUser, &error, {}, &holder);
  if (!runningEvent_) {
    if (error != EEXIST) {
      DebugOutput("[QXFW.exe] Process Run But CreateEvent Error!");
      // Not started, so this user's connections are not asked about: say so where it is seen.
      std::string why = platform::NamedEventErrorText(error);
      if (error == EACCES) {
        why += " (uid " + std::to_string(holder.uid) + ", pid " + std::to_string(holder.pid) +
               "), not by a running copy of this program; end that process or set "
               "XDG_RUNTIME_DIR to a private folder of yours";
      }
      std::fprintf(stderr, "qxfw: not started: the running event cannot be created in %s: %s\n",
                   platform::UserEventFolder().c_str(), why.c_str());
      return false;
    }
    DebugOutput("[QXFW.exe] AlreadyExist! This new process stop");
    // The running instance holds the rule data file: it stores the rules of this command line,
    // and shows itself when the desktop has no notification area to bring it back from.
    const bool show = !QSystemTrayIcon::isSystemTrayAvailable();
    std::string text = options_.HasRules() || show ? std::string("O") : std::string();
    if (!text.empty()) {
      std::string handed;
      for (const auto& option : options_.ruleOptions) {
        handed += std::string(handed.empty() ? "" : " ") + "/" + option.letter + ":" + option.value;
      }
      auto answer = SendToRunningInstance({'O', handed}, 3000, 10000);
      if (!answer) DebugOutput("[QXFW.exe] the running instance did not take the options");
    }
    return false;
  }
  link_ = std::make_unique<CInstanceLinkServer>();
  if (!link_->Valid()) {
    DebugOutput("[QXFW.exe] CFireWallApp: the instance link cannot be bound");
    link_.reset();
    return true;
  }
  linkNotifier_ = new QSocketNotifier(link_->Fd(), QSocketNotifier::Read, this);
  connect(linkNotifier_, &QSocketNotifier::activated, this, &CFireWallApp::OnLinkReadable);
  return true;
}

void CFireWallApp::CreateViews() {
  QStackedWidget* stack = mainFrame_->PageStack();
  views_[0] = new CFireWallView(stack);
  views_[1] = new CNetworkView(stack);
  views_[2] = new CProgramView(stack);
  views_[3] = new CPortView(stack);
  views_[4] = new CSharedFolderView(stack);
  views_[5] = new CLogView(stack);
  views_[7] = new CAntiVirusView(stack);
  for (const QPointer<CPageView>& view : views_) {
    if (!view) continue;
    stack->addWidget(view);
    CPageView* v = view.data();
    connect(
        v, &CPageView::AppUrl, this, [this, v](const QString& url) { OnAppUrl(v, url); },
        Qt::QueuedConnection);
    connect(v, &CPageView::PageLoaded, this, [this, v](bool) {
      preloadTimer_.start();
      if (timedPage_ != v->PageIndex()) return;
      DebugOutput("[QXFW.exe] ShowPage %d ready after %lld ms (at %lld)", timedPage_,
                  static_cast<long long>(pageClock_.elapsed()),
                  static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
      timedPage_ = -1;
    });
  }
  stack->setCurrentWidget(views_[0]);
  // A change from any side (a prompt's answer, qxfwctl through the link) shows at once.
  connect(this, &CFireWallApp::RulesChanged, this, &CFireWallApp::RefreshRulePages,
          Qt::QueuedConnection);
}

CMainFrame* CFireWallApp::MainFrame() const {
  return mainFrame_.data();
}

CPageView* CFireWallApp::View(int index) const {
  return index >= 0 && index < kPageCount ? views_[index].data() : nullptr;
}

bool CFireWallApp::PageInitialised(int index) const {
  return index >= 0 && index < kPageCount && initialised_[index];
}

void CFireWallApp::InitPage(int index) {
  initialised_[index] = true;
  CPageView* view = views_[index].data();
  if (view == nullptr) return;
  view->InitialUpdate(pageFolder_, korean_);
  view->ShowVorpex(g_bAntiVirusEnabled);
  AttachPageList(index);
}

void CFireWallApp::AttachPageList(int index) {
  CPageView* view = views_[index].data();
  if (view == nullptr || view->PageList() != nullptr) return;
  rules_ui::TextSource texts = [this](int id) {
    return QString::fromUtf8(preferences_->GetText(id));
  };
  if (index == 1) {
    auto* connections = new monitor::CNetworkList(view, texts, preferences_, korean_);
    connections->SetPropertiesOpener([this, texts](QWidget* parent, const monitor::NetRow& row) {
      monitor::CProcessProperties dialog(texts, *db_, row.record, parent);
      dialog.exec();
    });
    connections->SetWhoisOpener([texts](QWidget* parent, const QString& address) {
      monitor::CWhoisRecord dialog(texts, address, parent);
      dialog.exec();
    });
    view->SetPageList(connections);
  } else if (index == 2) {
    rules_ui::CAddDlg::SetProcessPicker(monitor::MakeProcessPicker(texts));
    auto* programs = new rules_ui::CProgramRules(view, *db_, texts, preferences_);
    programs->SetInfoOpener([texts](QWidget* parent, const std::string& path) {
      monitor::CProgramInfoDlg dialog(texts, path, parent);
      dialog.exec();
    });
    view->SetPageList(programs);
  } else if (index == 3) {
    view->SetPageList(new rules_ui::CPortRules(view, *db_, texts, preferences_));
  } else if (index == 4) {
    view->SetPageList(new rules_ui::CSharedFolders(view, texts, preferences_));
  } else if (index == 5) {
    view->SetPageList(new monitor::CLogList(view, texts, preferences_, *db_, korean_));
  }
}

void CFireWallApp::OnIdle() {
  if (allInitialised_) {
    idleTimer_.stop();
    return;
  }
  for (int i = 0; i < kPageCount; ++i) {
    if (initialised_[i] || (i == 7 && !g_bAntiVirusEnabled)) continue;
    InitPage(i);
    return;
  }
  allInitialised_ = true;
  idleTimer_.stop();
}

void CFireWallApp::SaveColumnWidths(CPageView* view) {
  QTreeView* list = view->ListControl();
  if (list == nullptr || view->ListSlot() < 0) return;
  QHeaderView* header = list->header();
  for (int c = 0; c < store::kColumnsPerView && c < header->count(); ++c) {
    int width = header->sectionSize(c);
    if (width > kMinSavedWidth && width <= kMaxSavedWidth) {
      preferences_->SetColumnWidth(view->ListSlot(), c, static_cast<uint16_t>(width));
    }
  }
}

CPageView* CFireWallApp::ShowPage(int index) {
  if (index > 7 || index < 0) index = 0;
  if (!initialised_[index]) InitPage(index);
  QStackedWidget* stack = mainFrame_->PageStack();
  CPageView* current = qobject_cast<CPageView*>(stack->currentWidget());
  CPageView* target = views_[index].data();
  if (current != nullptr && target != nullptr && target != current) {
    SaveColumnWidths(current);
    if (index == 2) target->Refresh();
    if (current->PageIndex() == 3) current->KillTimer0();
    if (CPageView* network = views_[1].data()) {
      if (index == 1) {
        network->StartTimer0(2000);
      } else {
        network->KillTimer0();
      }
    }
    currentPage_ = index;
    pageClock_.start();
    timedPage_ = index;
    stack->setCurrentWidget(target);
    target->setFocus();
    if (target->IsPageLoaded()) {
      DebugOutput("[QXFW.exe] ShowPage %d ready after %lld ms (at %lld)", index,
                  static_cast<long long>(pageClock_.elapsed()),
                  static_cast<long long>(QDateTime::currentMSecsSinceEpoch()));
      timedPage_ = -1;
    }
  }
  return current;
}

void CFireWallApp::OpenHelp() {
  std::string address = HelpAddress(currentPage_);
  CPageView* view = View(currentPage_);
  if (address.empty() || view == nullptr) return;
  view->RunScript(QStringLiteral("OpenHelpWindow('%1');").arg(QString::fromStdString(address)));
}

void CFireWallApp::OnPollTimer() {
  if (poller_ && driverPolling_) {
    poller_->OnPollTimer();
  } else if (mainFrame_) {
    mainFrame_->CheckCompanion();
  }
}

void CFireWallApp::SetPollTimer(int periodMs) {
  driverPolling_ = true;
  pollTimer_.start(periodMs);
}

void CFireWallApp::KillPollTimer() {
  // The watchdog still needs its tick.
  driverPolling_ = false;
}

void CFireWallApp::PostPoll() {
  QMetaObject::invokeMethod(this, &CFireWallApp::OnPollTimer, Qt::QueuedConnection);
}

void CFireWallApp::PostImageLoaded(uint32_t processId) {
  QCoreApplication::postEvent(this, new CImageLoadedEvent(static_cast<int>(processId)));
}

int CFireWallApp::SecurityLevel() const {
  return firewall::g_SecurityLevel;
}

void CFireWallApp::OnAppUrl(CPageView* view, const QString& url) {
  AppCommand command = AppCommand::kNone;
  std::string buffer;
  if (!FilterAppUrl(url.toStdString(), &command, &buffer)) return;
  if (command != AppCommand::kNone) {
    mainFrame_->setWindowTitle(QStringLiteral("Talvoran Firewall"));
    int page = PageOfCommand(command);
    if (page >= 0) {
      ShowPage(page);
      return;
    }
    switch (command) {
      case AppCommand::kClose:
        QMetaObject::invokeMethod(mainFrame_, &QWidget::close, Qt::QueuedConnection);
        break;
      case AppCommand::kOptions:
        emit OptionsRequested();
        break;
      case AppCommand::kMinimize:
        mainFrame_->showMinimized();
        break;
      default:
        break;
    }
    return;
  }
  if (view != nullptr) view->OnPageCommand(QString::fromStdString(buffer));
}

bool CFireWallApp::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const bool control = key->modifiers() & Qt::ControlModifier;
    if (control && key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier)) {
      ShowPage(currentPage_ + 1);
      return true;
    }
    if (control && (key->key() == Qt::Key_Backtab ||
                    (key->key() == Qt::Key_Tab && (key->modifiers() & Qt::ShiftModifier)))) {
      int target = currentPage_ == 0 ? 7 : currentPage_ == 7 ? 5 : currentPage_ - 1;
      ShowPage(target);
      return true;
    }
    if (key->key() == Qt::Key_F1 && key->modifiers() == Qt::NoModifier) {
      OpenHelp();
      return true;
    }
  } else if (event->type() == QEvent::MouseButtonPress && mainFrame_ && watched->isWidgetType()) {
    if (OwningView(watched) != nullptr &&
        mainFrame_->PreTranslateMouse(static_cast<QMouseEvent*>(event))) {
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

bool CFireWallApp::event(QEvent* event) {
  if (event->type() == kImageLoadedEvent) {
    // Scanning loaded images belongs to the antivirus part, which this build does not bind.
    return true;
  }
  if (event->type() == kAntiVirusOnEvent) {
    OnAntiVirusOn();
    return true;
  }
  return QObject::event(event);
}

void CFireWallApp::OnAntiVirusOn() {
  g_bAntiVirusEnabled = true;
  if (!initialised_[7]) InitPage(7);
  for (int i = 0; i < kPageCount; ++i) {
    if (initialised_[i] && views_[i]) views_[i]->ShowVorpex(true);
  }
}

void CFireWallApp::StoreHandedOverRules(const std::string& optionText) {
  StartOptions handed = ParseStartOptions(optionText);
  if (handed.HasRules() && db_->IsRuleFileOpen()) {
    StoreRules(handed, *db_);
    emit RulesChanged();
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable() && mainFrame_) mainFrame_->ShowAndRestore();
}

std::string CFireWallApp::RunLinkCommand(const std::string& text, char* status) {
  std::vector<std::string> words = ctl::SplitWords(text);
  std::string folder = words.front();
  words.erase(words.begin());
  if (folder != platform::FirewallDataFolder()) {
    *status = '1';
    return std::string("\0", 1) + "the running firewall program uses another data folder";
  }
  std::ostringstream out;
  std::string error;
  ctl::SetBorrowedStore(db_);
  int code = ctl::RunStoreCommand(words, out, &error);
  ctl::SetBorrowedStore(nullptr);
  if (code < 0) {
    code = 2;
    error = "not a rule, level or journal command";
  }
  if (code == 0 && !words.empty() && (words[0] == "rules" || words[0] == "level")) {
    if (words[0] == "level" && words.size() == 3) {
      firewall::g_SecurityLevel = firewall::LoadSecurityLevel(*db_);
    }
    emit RulesChanged();
  }
  *status = static_cast<char>('0' + code);
  return out.str() + std::string("\0", 1) + error;
}

void CFireWallApp::OnLinkReadable() {
  auto pending = link_->Accept();
  if (!pending) return;
  char status = '0';
  std::string answer;
  switch (pending->request.kind) {
    case 'C':
      answer = RunLinkCommand(pending->request.text, &status);
      break;
    case 'O':
      StoreHandedOverRules(pending->request.text);
      break;
    case 'S':
      if (mainFrame_) mainFrame_->ShowAndRestore();
      break;
    case 'A':
      QCoreApplication::postEvent(this, new QEvent(kAntiVirusOnEvent));
      break;
    default:
      status = '2';
      break;
  }
  CInstanceLinkServer::Answer(*pending, status, answer);
}

void CFireWallApp::ExitInstance() {
  if (mainFrame_) {
    QStackedWidget* stack = mainFrame_->PageStack();
    if (auto* current = qobject_cast<CPageView*>(stack->currentWidget())) SaveColumnWidths(current);
  }
  pollTimer_.stop();
  idleTimer_.stop();
  // The monitor's worker may hand over a device: it ends before the channel is released.
  delete home_;
  home_ = nullptr;
  if (preferences_ != nullptr && !preferences_->Save()) {
    DebugOutput("[QXFW.exe] CFireWallApp::ExitInstance cannot save %s",
                preferences_->UserOptsPath().c_str());
  }
  // Requests still pending are dropped unanswered; their prompts go before the store does.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<firewall::CAskDialog*>(widget) != nullptr) delete widget;
  }
  firewall::CFirewallDriver::GetInstance().Release();
  firewall::CTrustedPathList::Instance().Clear();
  if (packageWarmer_.joinable()) packageWarmer_.join();
}

void CFireWallApp::RefreshRulePages() {
  for (int page : {2, 3, 5}) {
    if (initialised_[page] && views_[page]) views_[page]->Refresh();
  }
}

void CFireWallApp::OnFrameSeen(bool seen) {
  if (seen) {
    releaseTimer_.stop();
    pagesReleased_ = false;
    if (CPageView* current = View(currentPage_)) current->LoadPending();
    preloadTimer_.start();
  } else {
    preloadTimer_.stop();
    if (!releaseTimer_.isActive() && !pagesReleased_) releaseTimer_.start();
  }
}

bool CFireWallApp::FrameSeen() const {
  return mainFrame_ && mainFrame_->isVisible() && !mainFrame_->isMinimized();
}

void CFireWallApp::PreloadNext() {
  if (!FrameSeen()) return;
  // The page on screen first; the others after it, so a click finds its page ready.
  CPageView* current = View(currentPage_);
  if (current != nullptr && !current->IsPageLoaded()) return;
  for (int i = 0; i < kPageCount; ++i) {
    CPageView* view = views_[i].data();
    if (view == nullptr || view->IsPageLoaded()) continue;
    if (view->IsLoading()) return;
    if (!initialised_[i]) {
      if (i == 7 && !g_bAntiVirusEnabled) continue;
      InitPage(i);
    }
    if (view->Preload()) return;
  }
}

void CFireWallApp::ReleasePages() {
  if (!mainFrame_ || FrameSeen()) return;
  preloadTimer_.stop();
  DebugOutput("[QXFW.exe] CFireWallApp: the window is out of sight, its pages are let go");
  for (const QPointer<CPageView>& view : views_) {
    if (view) view->ReleasePage();
  }
  pagesReleased_ = true;
  // What the pages held in this process goes back to the heap, which keeps it unless asked to
  // give its free tops back; the browser frees it shortly after the discard.
  QTimer::singleShot(kTrimAfterReleaseMs, this, [this] {
    if (pagesReleased_) malloc_trim(0);
  });
}

std::string CFireWallApp::TextOf(int number) const {
  return number < store::kExtraStringBase ? preferences_->GetText(number)
                                          : preferences_->GetExtraText(number);
}

void CFireWallApp::StartHomeMonitor() {
  CHomeMonitor::Sources sources;
  sources.driver = &firewall::CFirewallDriver::GetInstance();
  sources.store = db_;
  sources.pending = &pending_;
  sources.level = [] { return firewall::g_SecurityLevel; };
  sources.text = [this](int number) { return TextOf(number); };
  sources.runner = RunCommandAndWait;
  sources.worker.antivirusFolder = platform::AntiVirusFolder();
  sources.worker.lastScanPath = LastScanPath();
  sources.worker.open = [path = firewall::DeviceSocketPath()](
                            uint32_t* status) -> std::unique_ptr<firewall::CDevice> {
    return firewall::CDeviceSocket::Open(path, status);
  };
  home_ = new CHomeMonitor(std::move(sources), this);
  connect(home_, &CHomeMonitor::ReportChanged, this, &CFireWallApp::OnHomeReport);
  connect(home_, &CHomeMonitor::SetupFailed, this, [this](const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Error"), text,
                                QMessageBox::Ok, mainFrame_);
    box->setObjectName(QStringLiteral("setupError"));
    box->setAccessibleName(QStringLiteral("Error"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });
  if (auto* home = qobject_cast<CFireWallView*>(views_[0].data())) {
    connect(home, &CFireWallView::StartDriverRequested, home_, &CHomeMonitor::StartDaemon);
  }
  home_->Refresh();
  OnHomeReport();
}

void CFireWallApp::OnHomeReport() {
  const HomeReport& report = home_->Report();
  if (auto* home = qobject_cast<CFireWallView*>(views_[0].data())) home->ShowReport(report);
  if (mainFrame_) mainFrame_->ShowState(report.tray, QString::fromStdString(report.trayTip));
}

void CFireWallApp::RunSecurityOptions() {
  firewall::CSecurityOptions dialog(
      *db_, firewall::g_SecurityLevel,
      [this](int id) { return QString::fromUtf8(preferences_->GetText(id)); }, pageFolder_,
      mainFrame_);
  dialog.exec();
}

}  // namespace qxfw::shell
