#include "shell/ui/app_scheme.h"

#include <QByteArray>

#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>
#include <cstdlib>

#include "shell/browser_flags.h"

namespace qxfw::shell {
namespace {

class CRefusingSchemeHandler : public QWebEngineUrlSchemeHandler {
 public:
  using QWebEngineUrlSchemeHandler::QWebEngineUrlSchemeHandler;
  void requestStarted(QWebEngineUrlRequestJob* job) override {
    job->fail(QWebEngineUrlRequestJob::RequestDenied);
  }
};

}  // namespace

void RegisterAppScheme() {
  QWebEngineUrlScheme scheme("app");
  scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
  scheme.setFlags(QWebEngineUrlScheme::LocalScheme | QWebEngineUrlScheme::LocalAccessAllowed);
  QWebEngineUrlScheme::registerScheme(scheme);
}

void PrepareBrowser() {
  RegisterAppScheme();
  const QByteArray user = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
  const std::string_view userFlags(user.constData(), static_cast<size_t>(user.size()));
  const bool sandboxOff = SandboxOff(std::getenv("QTWEBENGINE_DISABLE_SANDBOX"), userFlags);
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
          QByteArray::fromStdString(BrowserFlags(userFlags, sandboxOff)));
  if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND")) qputenv("QT_QUICK_BACKEND", "software");
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
}

void InstallAppScheme(QWebEngineProfile* profile) {
  if (profile->urlSchemeHandler("app") != nullptr) return;
  profile->installUrlSchemeHandler("app", new CRefusingSchemeHandler(profile));
}

}  // namespace qxfw::shell
