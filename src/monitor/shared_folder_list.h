// CSharedFolderList: the folders this machine shares on the network, and releasing a share.
//
// The machine's shares are Samba's: the sections of smb.conf (read with "testparm") and the
// user shares (read with "net usershare info"). $QXFW_SMB_CONF names another smb.conf. One
// object serves one listing: the shares are read at construction and walked with MoveNext();
// the shared-folder view holds one for its list and makes a fresh one for each release. A
// user share is released with "net usershare delete"; smb.conf shares cannot be released from
// here. Without Samba's tools the list is empty. An object belongs to one thread; its
// constructor and Release() wait for the tools (bounded by a time-out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "store/rule_records.h"

namespace qxfw::monitor {

// One shared folder, in the record the shared-folder rules store (see store/rule_records.h).
using store::tagFIREWALL_SHARED_FOLDER;

class CSharedFolderList {
 public:
  // Status codes of the last share call (GetLastStatus).
  static constexpr int kStatusOk = 0;
  static constexpr int kStatusAccessDenied = 5;        // an smb.conf share, or refused by net
  static constexpr int kStatusTimeout = 1460;          // the tool did not finish in time
  static constexpr int kStatusNoService = 2114;        // Samba's tools are missing
  static constexpr int kStatusNetNameNotFound = 2310;  // no such share

  struct Options {
    std::string smbConf;     // empty: Samba's default configuration
    std::string searchPath;  // where to look for "net" and "testparm" (like $PATH)
    int timeoutMs = 10000;   // per tool run
  };

  // Reads $QXFW_SMB_CONF and $PATH.
  CSharedFolderList();
  explicit CSharedFolderList(Options options);

  // Advances the cursor; false (and the cursor back before the first record) after the last.
  bool MoveNext();
  // Copy of the record under the cursor; a zeroed record before the first MoveNext().
  tagFIREWALL_SHARED_FOLDER GetCurrent() const;
  int GetCount() const { return static_cast<int>(records_.size()); }

  // Removes the user share of that name; true when it is gone (status 0). smb.conf shares and
  // names this listing does not hold fail without running anything.
  bool Release(const char* shareName);
  int GetLastStatus() const { return status_; }

 private:
  struct Share {
    tagFIREWALL_SHARED_FOLDER record;
    std::string name;  // whole name; the record's field may be cut
    bool userShare;
  };

  void Enumerate();
  bool ReadConfigShares(std::string* usersharePath, long* usershareMax);
  bool ReadUserShares();
  void Add(const std::string& name, const std::string& path, bool userShare);
  const Share* Find(const std::string& name) const;
  std::vector<std::string> ConfigArgs(bool forNet) const;

  Options options_;
  std::string net_;
  std::string testparm_;
  std::vector<Share> records_;
  size_t cursor_ = 0;
  int status_ = kStatusOk;
};

}  // namespace qxfw::monitor
