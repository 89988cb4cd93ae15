// How long an unknown program waits for the access prompt: from its connect() (the SYN the
// filter daemon holds) until the prompt has painted itself on the screen.
//
//   prompt_latency COUNT NETNS CLIENT ADDRESS PORT [RATE_CLIENT SECONDS]
// runs the firewall program's application object in this process, starts COUNT clients
// (prompt_client) one after another in NETNS, answers each prompt with Allow and takes the rule
// away again, and prints the latencies. With RATE_CLIENT (bench/firewall/connect_rate) it then
// gives that program an allow rule and lets it connect one connection after another for
// SECONDS, decided by the program: the rate and connect latency a user of the windowed program
// sees. bench/shell/prompt_latency.sh sets up the namespaces and the daemon.
#include <time.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firewall/ui/ask_dialog.h"
#include "platform/named_event.h"
#include "shell/ui/app_scheme.h"
#include "shell/ui/fire_wall_app.h"
#include "store/db_manager.h"

namespace {

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Notes the moment each prompt has painted for the first time.
class PaintWatch : public QObject {
 public:
  int64_t painted = 0;
  qxfw::firewall::CAskDialog* prompt = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && painted == 0) {
      if (auto* dialog = qobject_cast<qxfw::firewall::CAskDialog*>(watched)) {
        // The paint event is delivered now; the moment after it is drawn is what counts.
        QMetaObject::invokeMethod(
            this,
            [this, dialog] {
              if (painted == 0) {
                painted = MonotonicNs();
                prompt = dialog;
              }
            },
            Qt::QueuedConnection);
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

void AllowProgram(const std::string& path) {
  qxfw::store::tagFIREWALL_PROGRAM rule{};
  std::strncpy(rule.path, path.c_str(), sizeof(rule.path) - 1);
  rule.action = 1;
  qxfw::store::CDBManager::GetInstance().AddProgram(rule, nullptr);
}

// Runs `connect_rate run` in the namespace while this thread keeps serving the program's
// events, and prints its line.
bool RunAllowedConnections(const QString& netns, const std::string& client, const QString& address,
                           const QString& port, const QString& seconds) {
  AllowProgram(client);
  QProcess rate;
  rate.start(QStringLiteral("ip"),
             {QStringLiteral("netns"), QStringLiteral("exec"), netns,
              QString::fromStdString(client), QStringLiteral("run"), address, port, seconds});
  QElapsedTimer waited;
  waited.start();
  const qint64 limit = static_cast<qint64>(seconds.toDouble() * 1000) + 10000;
  while (rate.state() != QProcess::NotRunning && waited.elapsed() < limit) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  if (rate.state() != QProcess::NotRunning) {
    rate.kill();
    rate.waitForFinished();
    std::fprintf(stderr, "the allowed client did not finish\n");
    return false;
  }
  std::printf("allowed by the program: %s\n", rate.readAllStandardOutput().trimmed().constData());
  return rate.exitCode() == 0;
}

void RemoveRule(const std::string& path) {
  qxfw::store::CDBManager& db = qxfw::store::CDBManager::GetInstance();
  qxfw::store::tagFIREWALL_PROGRAM rule{};
  std::strncpy(rule.path, path.c_str(), sizeof(rule.path) - 1);
  db.DeleteProgram(rule);
}

int Run(int argc, char** argv) {
  const int count = std::atoi(argv[1]);
  const QString netns = QString::fromLocal8Bit(argv[2]);
  const std::string clientPath = argv[3];
  const QString address = QString::fromLocal8Bit(argv[4]);
  const QString port = QString::fromLocal8Bit(argv[5]);
  qxfw::shell::PrepareBrowser();
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  // The program ends itself when the companion is gone: this process plays the companion.
  int error = 0;
  auto companion = qxfw::platform::NamedEventCreator::Create(
      qxfw::shell::kCompanionEventName, qxfw::platform::EventScope::kUser, &error);
  qxfw::shell::CFireWallApp app;
  if (!app.InitInstance("")) {
    std::fprintf(stderr, "the program did not start\n");
    return 1;
  }
  PaintWatch watch;
  application.installEventFilter(&watch);
  std::vector<double> millis;
  for (int i = 0; i < count; ++i) {
    QProcess client;
    client.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), netns,
                                        QString::fromStdString(clientPath), address, port});
    QElapsedTimer waited;
    waited.start();
    watch.painted = 0;
    while (watch.painted == 0 && waited.elapsed() < 10000) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    if (!client.canReadLine()) client.waitForReadyRead(2000);
    const int64_t start = client.readLine().trimmed().toLongLong();
    if (watch.painted == 0 || start == 0) {
      std::fprintf(stderr, "client %d: no prompt within 10 s\n", i);
      client.kill();
      client.waitForFinished();
      continue;
    }
    millis.push_back(static_cast<double>(watch.painted - start) / 1e6);
    watch.prompt->OnCommand(qxfw::firewall::CAskDialog::kCommandAllow);
    if (!client.waitForFinished(5000) || client.exitCode() != 0) {
      std::fprintf(stderr, "client %d did not connect after Allow\n", i);
    }
    RemoveRule(clientPath);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  bool allowedRan = true;
  if (argc == 8) {
    allowedRan =
        RunAllowedConnections(netns, argv[6], address, port, QString::fromLocal8Bit(argv[7]));
  }
  app.ExitInstance();
  if (millis.empty() || !allowedRan) return 1;
  const double first = millis.front();
  std::sort(millis.begin(), millis.end());
  auto at = [&](double q) {
    return millis[std::min(millis.size() - 1, static_cast<size_t>(q * millis.size()))];
  };
  std::printf("prompts %zu  first %.1f ms  p50 %.1f ms  p90 %.1f ms  max %.1f ms\n", millis.size(),
              first, at(0.5), at(0.9), millis.back());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 || argc == 8) return Run(argc, argv);
  std::fprintf(stderr,
               "usage: prompt_latency COUNT NETNS CLIENT ADDRESS PORT [RATE_CLIENT SECONDS]\n");
  return 2;
}
