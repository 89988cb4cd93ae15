// The update client against the reference update server on loopback.
#include "avlib/update_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "avlib/update_exchange.h"
#include "platform/debug_output.h"
#include "platform/ini_file.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"
#include "update_server.h"

namespace qxfw::avlib {
namespace {

using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// A loopback port that refuses connections: bound, never listening.
class RefusingPort {
 public:
  RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
    socklen_t size = sizeof at;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size);
    port_ = ntohs(at.sin_port);
  }
  ~RefusingPort() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

class UpdateClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((files_.path() + "/h2").c_str(), 0755);
    mkdir((files_.path() + "/l2").c_str(), 0755);
  }

  void StartServer(update_server::ServerConfig config = {}) {
    config.folder = files_.path();
    if (config.high.empty()) config.high = "h2";
    if (config.low.empty()) config.low = "l2";
    server_ = std::make_unique<update_server::UpdateServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  int32_t Update(bool check_only = false, bool basic = false) {
    UpdateOptions options;
    options.engine_folder = engine_.path();
    options.check_only = check_only;
    options.basic = basic;
    options.server = "127.0.0.1";
    options.primary_port = server_->question_port();
    options.alternate_port = refusing_.port();
    options.timeout_ms = 2000;
    return RunUpdate(options);
  }

  void InstalledWords(const std::string& high, const std::string& low) {
    platform::IniFile ini(Ini());
    ASSERT_TRUE(ini.WriteString("VISION", "High_Word", high));
    ASSERT_TRUE(ini.WriteString("VISION", "Low_Word", low));
  }
  std::string Ini() const { return engine_.path() + "/dvupdate.ini"; }
  std::string Word(const std::string& key) const {
    return platform::IniFile(Ini()).GetString("VISION", key, "<missing>");
  }
  std::string Engine(const std::string& name) const { return engine_.path() + "/" + name; }
  std::string Served(const std::string& word, const std::string& name, const std::string& text) {
    return WriteTextFile(files_.path() + "/" + word + "/" + name, text);
  }
  bool NoListsLeft() const {
    return !Exists(Engine("appfile.lst")) && !Exists(Engine("vdbfile.lst"));
  }

  TempDir registry_;
  ScopedEnv registry_env_{"QXFW_REGISTRY_DIR", registry_.path()};
  TempDir engine_;
  TempDir files_;
  RefusingPort refusing_;
  std::unique_ptr<update_server::UpdateServer> server_;
};

TEST_F(UpdateClientTest, EqualWordsAskExactlyAndDownloadNothing) {
  StartServer();
  InstalledWords("h2", "l2");
  WriteTextFile(Engine("vdbfile.lst"), "stale");
  EXPECT_EQ(Update(), kUpdateNothing);
  EXPECT_EQ(server_->last_question(), "ifjcjiimjhiojfjf");
  EXPECT_EQ(server_->http_requests(), 0);
  EXPECT_TRUE(NoListsLeft());
}

TEST_F(UpdateClientTest, AnswerInPiecesIsReadToItsEnd) {
  update_server::ServerConfig pieces;
  pieces.answer_in_pieces = true;
  StartServer(pieces);
  InstalledWords("h2", "l1");
  Served("l2", "main.vdb", "sig");
  EXPECT_EQ(Update(), 1);
  EXPECT_EQ(Word("Low_Word"), "l2");
}

TEST_F(UpdateClientTest, CheckOnlyWithoutIniReportsAndWritesNothing) {
  StartServer();
  Served("l2", "main.vdb", "sig");
  EXPECT_EQ(Update(true), kUpdateAvailable);
  EXPECT_FALSE(Exists(Ini()));
  EXPECT_FALSE(Exists(Engine("main.vdb")));
  EXPECT_EQ(server_->http_requests(), 0);
}

TEST_F(UpdateClientTest, NewerWordsFetchBothListsMapNamesAndStamp) {
  StartServer();
  Served("h2", "Dvengine32.dll", "engine-bytes");
  Served("h2", "Knlscan.exe", "knl");
  Served("l2", "main.vdb", "signatures");
  Served("l2", "long.vdb", "long");
  Served("l2", "filesys.htm",
         "30152014032009,long.vdb,4" + std::string(500, ' ') +
             "\r\n"
             "30152014032009,main.vdb,10\r\n"
             "30152014032009,../evil.vdb,4\r\n"
             "30152014032009,notes.txt,3\r\n"
             "30152014032009," +
             std::string(600, 'x') +
             ".vdb,1\r\n"
             "30152014032009,.hidden.vdb,1\r\n");
  int steps = 0, range = -1;
  std::vector<std::string> shown;
  UpdateProgress progress{[&](int32_t lines) { range = lines; }, [&] { ++steps; },
                          [&](const std::string& path) { shown.push_back(path); }};
  UpdateOptions options;
  options.engine_folder = engine_.path();
  options.server = "127.0.0.1";
  options.primary_port = server_->question_port();
  options.alternate_port = refusing_.port();
  options.progress = &progress;

  EXPECT_EQ(RunUpdate(options), 3);
  EXPECT_EQ(ReadTextFile(Engine("libdvengine32.so")), "engine-bytes");
  EXPECT_EQ(ReadTextFile(Engine("knlscan")), "knl");
  EXPECT_EQ(ReadTextFile(Engine("main.vdb")), "signatures");
  EXPECT_FALSE(Exists(engine_.path() + "/../evil.vdb"));
  EXPECT_FALSE(Exists(Engine("notes.txt")));
  EXPECT_FALSE(Exists(Engine("long.vdb")));  // its line is too long for the line buffer
  EXPECT_EQ(range, 8);
  EXPECT_EQ(steps, 8);
  EXPECT_EQ(shown.size(), 3u);
  struct stat st;
  ASSERT_EQ(stat(Engine("main.vdb").c_str(), &st), 0);
  tm t{};
  localtime_r(&st.st_mtime, &t);
  EXPECT_EQ(t.tm_year + 1900, 2009);
  EXPECT_EQ(t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec, 20 * 3600 + 15 * 60 + 30);
  EXPECT_EQ(Word("High_Word"), "h2");
  EXPECT_EQ(Word("Low_Word"), "l2");
  EXPECT_TRUE(NoListsLeft());

  // Current files (same stamp and size) are not fetched again under new words.
  server_.reset();
  rename((files_.path() + "/l2").c_str(), (files_.path() + "/l3").c_str());
  update_server::ServerConfig next;
  next.low = "l3";
  StartServer(next);
  EXPECT_EQ(Update(), 0);
  EXPECT_EQ(Word("Low_Word"), "l3");
}

TEST_F(UpdateClientTest, BasicModeSkipsProgramsAndDvbasePurgesOtherDatabases) {
  StartServer();
  InstalledWords("h1", "l1");
  WriteTextFile(Engine("old.vdb"), "old");
  Served("h2", "Knlscan.exe", "knl");
  Served("h2", "Recovery.exe", "#!/bin/sh\ntouch " + engine_.path() + "/ran\n");
  Served("l2", "Aa.vdb", "fetched before the base");  // listed first
  Served("l2", "Dvbase.vdb", "base");
  Served("l2", "zz.vdb", "later");
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(Update(false, true), 4);
  EXPECT_FALSE(Exists(Engine("knlscan")));
  EXPECT_FALSE(Exists(Engine("old.vdb")));
  EXPECT_FALSE(Exists(Engine("Aa.vdb")));
  EXPECT_TRUE(Exists(Engine("Dvbase.vdb")));
  EXPECT_TRUE(Exists(Engine("zz.vdb")));  // listed after Dvbase.vdb
  EXPECT_TRUE(Exists(Engine("recovery")));
  usleep(100000);
  EXPECT_FALSE(Exists(Engine("ran")));
  EXPECT_TRUE(debug.Contains("[QXAV] update: recovery program " + Engine("recovery") +
                             " downloaded and not started"));
}

TEST_F(UpdateClientTest, FailedDownloadsKeepTheOldWordsAndFiles) {
  StartServer();
  InstalledWords("h2", "l1");
  WriteTextFile(Engine("big.vdb"), "old contents");
  Served("l2", "a.vdb", "aaaa");
  Served("l2", "big.vdb", std::string(100000, 'b'));
  Served("l2", "filesys.htm",
         "30152014032009,a.vdb,4\r\n30152014032009,big.vdb,10\r\n30152014032009,gone.vdb,5\r\n");
  // The body is longer than listed: aborted, the live file untouched, no temporary left.
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(ReadTextFile(Engine("big.vdb")), "old contents");
  EXPECT_EQ(ReadTextFile(Engine("a.vdb")), "aaaa");
  EXPECT_EQ(Word("Low_Word"), "l1");
  EXPECT_TRUE(NoListsLeft());

  // A 404: the earlier file stays, and the words still do not move.
  Served("l2", "filesys.htm", "30152014032009,a.vdb,4\r\n30152014032009,gone.vdb,5\r\n");
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(Word("Low_Word"), "l1");
  int files = 0;
  for (const char* name : {"a.vdb", "big.vdb", "dvupdate.ini"}) files += Exists(Engine(name));
  EXPECT_EQ(files, 3);
  EXPECT_EQ(std::system(("ls -A " + engine_.path() + " | grep -q part").c_str()) != 0, true);
}

TEST_F(UpdateClientTest, RefusalsClosedConnectionsAndNoServer) {
  update_server::ServerConfig refuse;
  refuse.answer_override = "NOPE";
  StartServer(refuse);
  EXPECT_EQ(Update(), kUpdateNothing);
  EXPECT_FALSE(Exists(Ini()));

  update_server::ServerConfig bad_base;
  bad_base.answer_override = "EAh;l;file:///etc/";
  StartServer(bad_base);
  EXPECT_EQ(Update(), kUpdateNothing);
  EXPECT_EQ(server_->http_requests(), 0);

  update_server::ServerConfig closing;
  closing.close_without_answer = true;
  StartServer(closing);
  UpdateOptions both_close;
  both_close.engine_folder = engine_.path();
  both_close.server = "127.0.0.1";
  both_close.primary_port = both_close.alternate_port = server_->question_port();
  EXPECT_EQ(RunUpdate(both_close), kUpdateServerClosed);
  EXPECT_EQ(server_->questions(), 2);
  // A closed first port and a refusing second one: the last attempt's result.
  EXPECT_EQ(Update(), kUpdateNoConnection);

  RefusingPort nobody;
  UpdateOptions options;
  options.engine_folder = engine_.path();
  options.server = "127.0.0.1";
  options.primary_port = nobody.port();
  options.alternate_port = refusing_.port();
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(RunUpdate(options), kUpdateNoConnection);
  EXPECT_EQ(debug.Lines().size(), 2u);
  options.engine_folder.clear();
  EXPECT_EQ(RunUpdate(options), kUpdateFailed);
}

TEST_F(UpdateClientTest, SecondPortThatAnswersIsStoredAndAskedFirst) {
  StartServer();
  InstalledWords("h2", "l2");
  UpdateOptions options;
  options.engine_folder = engine_.path();
  options.server = "127.0.0.1";
  options.primary_port = refusing_.port();
  options.alternate_port = server_->question_port();
  {
    platform::ScopedDebugCapture debug;
    EXPECT_EQ(RunUpdate(options), kUpdateNothing);
    EXPECT_EQ(debug.Lines().size(), 2u);
  }
  EXPECT_EQ(StoredUpdatePort(), server_->question_port());
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(RunUpdate(options), kUpdateNothing);
  EXPECT_EQ(debug.Lines().size(), 1u);  // one attempt: the stored port answered
}

TEST_F(UpdateClientTest, PortGoesToTheUserHiveWhenTheMachineHiveCannotBeWritten) {
  StartServer();
  InstalledWords("h2", "l2");
  TempDir config;
  // A system folder that is a plain file: the machine hive below it cannot be made.
  const std::string not_a_folder = WriteTextFile(config.path() + "/sys", "");
  unsetenv("QXFW_REGISTRY_DIR");
  ScopedEnv system("QXFW_SYSTEM_DIR", not_a_folder);
  ScopedEnv user("XDG_CONFIG_HOME", config.path());
  EXPECT_EQ(Update(), kUpdateNothing);
  EXPECT_EQ(StoredUpdatePort(), server_->question_port());
  struct stat st;
  EXPECT_EQ(stat((config.path() + "/qxfw/user.hive").c_str(), &st), 0);
}

}  // namespace
}  // namespace qxfw::avlib
