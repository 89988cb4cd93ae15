#include "shell/ui/page_view.h"

#include <QTimerEvent>
#include <QUrl>
#include <QWebEngineProfile>

#include "platform/debug_output.h"
#include "controls/qx_list_ctrl.h"
#include "rules_ui/page_list.h"
#include "shell/app_command.h"
#include "shell/ui/app_scheme.h"

namespace qxfw::shell {

bool CAppPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
  if (url.scheme().compare("app", Qt::CaseInsensitive) == 0) {
    emit AppUrl(url.toString(QUrl::FullyEncoded));
    return false;
  }
  return QWebEnginePage::acceptNavigationRequest(url, type, isMainFrame);
}

CPageView::CPageView(int pageIndex, QString pageFile, int listSlot, QWidget* parent)
    : QWebEngineView(parent),
      pageIndex_(pageIndex),
      pageFile_(std::move(pageFile)),
      listSlot_(listSlot) {
  setObjectName(QStringLiteral("page%1").arg(pageIndex));
  auto* page = new CAppPage(QWebEngineProfile::defaultProfile(), this);
  InstallAppScheme(page->profile());
  setPage(page);
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(page, &CAppPage::AppUrl, this, &CPageView::AppUrl);
  connect(this, &QWebEngineView::loadFinished, this, [this](bool ok) {
    // A cancelled navigation (every app: link) also reports a failed load; the document
    // shown is still the page that was loaded.
    if (!ok && loaded_ && url() == loadedUrl_) return;
    loaded_ = ok;
    loadedUrl_ = url();
    ApplyVorpex();
    emit PageLoaded(ok);
  });
}

void CPageView::InitialUpdate(const std::string& pageFolder, bool korean) {
  std::string address = PageAddress(pageFolder, korean, pageFile_.toStdString());
  setUrl(QUrl(QString::fromStdString(address)));
}

QTreeView* CPageView::ListControl() const {
  return pageList_ != nullptr ? pageList_->List() : nullptr;
}

void CPageView::Refresh() {
  if (pageList_ != nullptr) pageList_->Refresh();
}

void CPageView::OnPageCommand(const QString& command) {
  if (pageList_ != nullptr && pageList_->OnCommand(command)) return;
  platform::DebugOutput("[QXFW.exe] CPageView page %d: command %s has no handler here", pageIndex_,
                        command.toUtf8().constData());
}

void CPageView::StartTimer0(int intervalMs) {
  timer0_.start(intervalMs, this);
}

void CPageView::KillTimer0() {
  timer0_.stop();
}

void CPageView::timerEvent(QTimerEvent* event) {
  if (event->timerId() == timer0_.timerId()) {
    OnTimer0();
    return;
  }
  QWebEngineView::timerEvent(event);
}

void CPageView::ShowVorpex(bool visible) {
  vorpexVisible_ = visible;
  ApplyVorpex();
}

void CPageView::ApplyVorpex() {
  if (!loaded_) return;
  RunScript(QStringLiteral("(function(){var e=document.getElementById('vorpex');"
                           "if(e)e.style.visibility='%1';})();")
                .arg(vorpexVisible_ ? QStringLiteral("visible") : QStringLiteral("hidden")));
}

void CPageView::RunScript(const QString& script) {
  page()->runJavaScript(QStringLiteral("try{%1}catch(e){}").arg(script));
}

}  // namespace qxfw::shell
