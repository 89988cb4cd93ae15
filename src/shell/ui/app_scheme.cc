#include "shell/ui/app_scheme.h"

#include <QWebEngineProfile>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineUrlSchemeHandler>

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

void InstallAppScheme(QWebEngineProfile* profile) {
  if (profile->urlSchemeHandler("app") != nullptr) return;
  profile->installUrlSchemeHandler("app", new CRefusingSchemeHandler(profile));
}

}  // namespace qxfw::shell
