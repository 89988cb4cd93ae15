#include "shell/ui/page_view.h"

#include <QPointer>
#include <QShowEvent>
#include <QTimerEvent>
#include <QUrl>
#include <QWebEngineProfile>

#include "controls/qx_list_ctrl.h"
#include "platform/debug_output.h"
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
  setAccessibleName(pageFile_);
  MakePage();
  setContextMenuPolicy(Qt::NoContextMenu);
  connect(this, &QWebEngineView::loadFinished, this, [this](bool ok) {
    // A cancelled navigation (every app: link) also reports a failed load; the document
    // shown is still the page that was loaded.
    if (!ok && loaded_ && url() == loadedUrl_) return;
    loading_ = false;
    loaded_ = ok;
    loadedUrl_ = url();
    ApplyVorpex();
    if (ok) PlaceList();
    emit PageLoaded(ok);
  });
}

void CPageView::MakePage() {
  auto* page = new CAppPage(QWebEngineProfile::defaultProfile(), this);
  InstallAppScheme(page->profile());
  connect(page, &CAppPage::AppUrl, this, &CPageView::AppUrl);
  setPage(page);
}

void CPageView::InitialUpdate(const std::string& pageFolder, bool korean) {
  std::string address = PageAddress(pageFolder, korean, pageFile_.toStdString());
  Navigate(QUrl(QString::fromStdString(address)));
}

void CPageView::Navigate(const QUrl& address) {
  address_ = address;
  loadPending_ = true;
  if (isVisible()) {
    loadPending_ = false;
    loading_ = true;
    setUrl(address_);
  }
}

void CPageView::showEvent(QShowEvent* event) {
  QWebEngineView::showEvent(event);
  LoadPending();
}

void CPageView::ReleasePage() {
  if (address_.isEmpty() || loadPending_ || released_) return;
  QWebEnginePage* current = page();
  // The views of a minimised window still count as visible, and a visible page is not let go.
  if (current->isVisible()) current->setVisible(false);
  current->setLifecycleState(QWebEnginePage::LifecycleState::Discarded);
  if (current->lifecycleState() != QWebEnginePage::LifecycleState::Discarded) return;
  released_ = true;
  loaded_ = false;
  loading_ = false;
}

void CPageView::LoadPending() {
  if (!isVisible()) return;
  if (released_) {
    // Back in use, the page loads its address again (loadFinished follows), unless another
    // address waits.
    released_ = false;
    loading_ = true;
    page()->setVisible(true);
    page()->setLifecycleState(QWebEnginePage::LifecycleState::Active);
  }
  if (!loadPending_ || address_.isEmpty()) return;
  loadPending_ = false;
  loading_ = true;
  setUrl(address_);
}

bool CPageView::Preload() {
  if (address_.isEmpty() || loading_ || loaded_) return false;
  if (released_) {
    released_ = false;
    loading_ = true;
    page()->setLifecycleState(QWebEnginePage::LifecycleState::Active);
  }
  if (loadPending_) {
    loadPending_ = false;
    loading_ = true;
    setUrl(address_);
  }
  return loading_;
}

void CPageView::PlaceList() {
  if (pageList_ == nullptr) return;
  // The page keeps the room for its list in #listroom (inside its one-pixel border).
  QPointer<CPageView> self(this);
  page()->runJavaScript(
      QStringLiteral("(function(){var e=document.getElementById('listroom');if(!e)return [];"
                     "var r=e.getBoundingClientRect();return [r.left,r.top,r.width,r.height];})()"),
      [self](const QVariant& result) {
        const QVariantList box = result.toList();
        if (!self || self->pageList_ == nullptr || box.size() != 4) return;
        const QRect room(qRound(box[0].toDouble()) + 1, qRound(box[1].toDouble()) + 1,
                         qRound(box[2].toDouble()) - 2, qRound(box[3].toDouble()) - 2);
        self->pageList_->SetRoom(room);
      });
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
