// CPageView: one page of the main window, an embedded browser view over a page file of the
// extracted page set.
//
// Navigation to "app:" addresses never happens: the page cancels it and the view emits
// AppUrl with the address, which the application turns into a command (queued, so no dialog
// ever runs inside the browser's navigation callback). Other addresses navigate as usual.
// Views that own a list control report it and the preferences slot of its column widths.
//
// A page is loaded when its view is first on screen or when the application preloads it, not
// before: every loaded page costs the browser's renderer memory. ReleasePage discards the
// page's browser state (the renderer process ends once no page needs it); the view loads its
// page again when next shown or preloaded.
// User-interface thread only.
#pragma once

#include <QBasicTimer>
#include <QString>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <functional>
#include <string>

class QTreeView;

namespace qxfw::rules_ui {
class CPageList;
}

namespace qxfw::shell {

class CAppPage : public QWebEnginePage {
  Q_OBJECT
 public:
  using QWebEnginePage::QWebEnginePage;

 signals:
  void AppUrl(const QString& url);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
};

class CPageView : public QWebEngineView {
  Q_OBJECT
 public:
  // pageFile: the page's file name inside the language folder; listSlot: the preferences slot
  // of the view's list widths (-1: the view has no list).
  CPageView(int pageIndex, QString pageFile, int listSlot, QWidget* parent = nullptr);

  int PageIndex() const { return pageIndex_; }
  const QString& PageFile() const { return pageFile_; }
  int ListSlot() const { return listSlot_; }
  bool IsPageLoaded() const { return loaded_; }

  // First-show initialisation: the page file in folder (ends in "/") becomes the view's
  // address, loaded now when the view is on screen, else when it is first shown.
  virtual void InitialUpdate(const std::string& pageFolder, bool korean);
  // Lets the loaded page go; the address is kept and loaded again on the next show (or
  // LoadPending, for a view that stayed visible in a minimised window).
  void ReleasePage();
  // Loads the address when a load waits and the view is visible.
  void LoadPending();
  // Loads the address now, visible or not, unless it is loaded or loading; true when a load
  // started.
  bool Preload();
  bool IsLoading() const { return loading_; }
  const QUrl& Address() const { return address_; }
  // The list laid over the page (a child of this view, which owns it); it takes the page
  // commands and refreshes with the view.
  void SetPageList(rules_ui::CPageList* list) {
    pageList_ = list;
    if (loaded_) PlaceList();
  }
  rules_ui::CPageList* PageList() const { return pageList_; }
  // The view's list control, laid over the page's list room; null when it has none.
  virtual QTreeView* ListControl() const;
  // A page command that is not an application command (cmdAdd, cmdDelete, ...).
  virtual void OnPageCommand(const QString& command);

  // Brings the view's content up to date when it is shown (the program page re-reads rules).
  virtual void Refresh();
  // The view's timer 0 (the network view refreshes with it).
  void StartTimer0(int intervalMs);
  void KillTimer0();
  bool Timer0Active() const { return timer0_.isActive(); }

  // Sets the visibility of the page's element "vorpex" (now, and after every load).
  void ShowVorpex(bool visible);
  // Runs a script in the page's document; failures (no such function) are ignored.
  void RunScript(const QString& script);

 signals:
  void AppUrl(const QString& url);
  void PageLoaded(bool ok);

 protected:
  virtual void OnTimer0() {}
  void timerEvent(QTimerEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // Shows address: now when the view is on screen, else when it is next shown.
  void Navigate(const QUrl& address);

 private:
  void ApplyVorpex();
  // Lays the list over the page's room for it.
  void PlaceList();
  void MakePage();

  QBasicTimer timer0_;
  int pageIndex_;
  QString pageFile_;
  int listSlot_;
  bool loaded_ = false;
  QUrl loadedUrl_;
  QUrl address_;
  bool loadPending_ = false;
  bool released_ = false;
  bool loading_ = false;
  bool vorpexVisible_ = false;
  rules_ui::CPageList* pageList_ = nullptr;
};

}  // namespace qxfw::shell
