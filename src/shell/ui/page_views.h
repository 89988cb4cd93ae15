// The views of the main window's pages, by page index: 0 home, 1 network, 2 program, 3 IP and
// port, 4 shared folder, 5 log, 7 antivirus (6 has none). Each shows its page file; the list
// controls and commands of the rule, monitor and antivirus screens build on these classes.
#pragma once

#include "shell/home_state.h"
#include "shell/ui/page_view.h"
#include "store/preferences.h"

namespace qxfw::shell {

// The home page: the program's state as the home monitor reports it, shown now and after every
// load of the page; its command "cmdStartDriver" asks for the filter to be started.
class CFireWallView : public CPageView {
  Q_OBJECT
 public:
  explicit CFireWallView(QWidget* parent = nullptr);

  void ShowReport(const HomeReport& report);
  void OnPageCommand(const QString& command) override;

 signals:
  void StartDriverRequested();

 private:
  void ApplyReport();

  QString stateScript_;
};

class CNetworkView : public CPageView {
  Q_OBJECT
 public:
  explicit CNetworkView(QWidget* parent = nullptr)
      : CPageView(1, "network.html", store::kNetworkListView, parent) {}
};

class CProgramView : public CPageView {
  Q_OBJECT
 public:
  explicit CProgramView(QWidget* parent = nullptr)
      : CPageView(2, "program.html", store::kProgramListView, parent) {}
};

class CPortView : public CPageView {
  Q_OBJECT
 public:
  explicit CPortView(QWidget* parent = nullptr)
      : CPageView(3, "ipport.html", store::kPortListView, parent) {}
};

class CSharedFolderView : public CPageView {
  Q_OBJECT
 public:
  explicit CSharedFolderView(QWidget* parent = nullptr)
      : CPageView(4, "shared.html", store::kSharedFolderListView, parent) {}
};

class CLogView : public CPageView {
  Q_OBJECT
 public:
  explicit CLogView(QWidget* parent = nullptr)
      : CPageView(5, "log.html", store::kLogListView1, parent) {}
};

// The antivirus page has two modes: 1 the scan page, 2 the quarantine page.
class CAntiVirusView : public CPageView {
  Q_OBJECT
 public:
  explicit CAntiVirusView(QWidget* parent = nullptr) : CPageView(7, "vorpex.html", -1, parent) {}

  void InitialUpdate(const std::string& pageFolder, bool korean) override;
  void OnPageCommand(const QString& command) override;
  int Mode() const { return mode_; }

 private:
  void ShowMode(int mode);

  std::string folder_;
  bool korean_ = false;
  int mode_ = 1;
};

}  // namespace qxfw::shell
