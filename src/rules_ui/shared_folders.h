// CSharedFolders: the list of the shared-folder page: the folders this machine shares, and the
// page's command that stops sharing the selected one.
//
// Reading the shares and releasing one run Samba's tools, so both run on a worker thread and
// their results arrive by queued calls; the list is read again after every release. A share
// that cannot be released is reported to the user. User-interface thread only.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "rules_ui/page_list.h"

namespace qxfw::monitor {
class CSharedFolderList;
}

namespace qxfw::rules_ui {

class CSharedFolders : public CPageList {
  Q_OBJECT
 public:
  struct Share {
    std::string name;
    std::string path;
  };
  // Makes the share list a worker reads (a fresh one per listing and per release).
  using ListFactory = std::function<std::unique_ptr<monitor::CSharedFolderList>()>;

  CSharedFolders(QWidget* host, TextSource texts, store::CPreferences* preferences,
                 ListFactory factory = {});

  bool OnCommand(const QString& command) override;
  // Starts a new reading of the shares.
  void Refresh() override;
  void Delete();

  const std::vector<Share>& Shares() const { return shares_; }
  bool Busy() const { return pending_ > 0; }

 signals:
  void SharesShown();
  void ReleaseFinished(bool released);

 private:
  void Show(std::vector<Share> shares);
  void OnReleased(bool released);

  ListFactory factory_;
  std::vector<Share> shares_;
  int pending_ = 0;
};

}  // namespace qxfw::rules_ui
