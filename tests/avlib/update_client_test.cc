// The update client against the reference update server on loopback, and against servers
// that misbehave: unsigned or foreign-signed updates, a file that fails late, trickling and
// oversized answers.
#include "avlib/update_client.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "avlib/update_exchange.h"
#include "platform/debug_output.h"
#include "platform/ini_file.h"
#include "scripted_peer.h"
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

// One key pair for all tests of this file (making one costs little, but the key is reused).
const UpdateSigner& TestSigner() {
  static const UpdateSigner signer = *UpdateSigner::Generate();
  return signer;
}
std::shared_ptr<const UpdateSigner> SharedSigner() {
  return std::shared_ptr<const UpdateSigner>(&TestSigner(), [](const UpdateSigner*) {});
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
    if (!unsigned_server_ && !config.signer) config.signer = SharedSigner();
    server_ = std::make_unique<update_server::UpdateServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  UpdateOptions Options() const {
    UpdateOptions options;
    options.engine_folder = engine_.path();
    options.server = "127.0.0.1";
    options.primary_port = server_ ? server_->question_port() : refusing_.port();
    options.alternate_port = refusing_.port();
    options.timeout_ms = 2000;
    options.keys = {TestSigner().PublicKey()};
    return options;
  }
  int32_t Update(bool check_only = false, bool basic = false) {
    UpdateOptions options = Options();
    options.check_only = check_only;
    options.basic = basic;
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
  bool unsigned_server_ = false;
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
  UpdateOptions options = Options();
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
  EXPECT_FALSE(Exists(Engine("a.vdb")));  // fetched, but the update as a whole failed
  EXPECT_EQ(Word("Low_Word"), "l1");
  EXPECT_TRUE(NoListsLeft());

  // A 404: nothing is taken, and the words still do not move.
  Served("l2", "filesys.htm", "30152014032009,a.vdb,4\r\n30152014032009,gone.vdb,5\r\n");
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(Word("Low_Word"), "l1");
  int files = 0;
  for (const char* name : {"a.vdb", "big.vdb", "dvupdate.ini"}) files += Exists(Engine(name));
  EXPECT_EQ(files, 2);
  EXPECT_EQ(std::system(("ls -A " + engine_.path() + " | grep -q part").c_str()) != 0, true);
}

TEST_F(UpdateClientTest, RefusalsClosedConnectionsAndNoServer) {
  update_server::ServerConfig refuse;
  refuse.answer_override.emplace("NOPE");
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

// The engine folder's files and their bytes.
std::map<std::string, std::string> FolderBytes(const std::string& folder) {
  std::map<std::string, std::string> bytes;
  for (const auto& item : std::filesystem::directory_iterator(folder))
    bytes[item.path().filename().string()] =
        item.is_regular_file() ? ReadTextFile(item.path().string()) : "<folder>";
  return bytes;
}

TEST_F(UpdateClientTest, UnsignedOrForeignSignedUpdatesAreRefusedAndTheOldFilesKept) {
  InstalledWords("h1", "l1");
  WriteTextFile(Engine("libqxav.so"), "the installed library");
  WriteTextFile(Engine("main.vdb"), "the installed signatures");
  Served("h2", "Kavlo.dll", "another user's library");
  Served("l2", "main.vdb", "new signatures");
  const auto before = FolderBytes(engine_.path());

  // A server that signs nothing, as anyone can run on a loopback port.
  unsigned_server_ = true;
  StartServer();
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);
  EXPECT_TRUE(debug.Contains(
      "[QXAV] update: list http://127.0.0.1:" + std::to_string(server_->http_port()) +
      "/h2/filesys.htm refused: not signed by a trusted key"));

  // Signed, but by a key the product does not trust.
  unsigned_server_ = false;
  update_server::ServerConfig foreign;
  foreign.signer = std::make_shared<const UpdateSigner>(*UpdateSigner::Generate());
  StartServer(foreign);
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);

  // Trusted lists, but one file's signature is for other bytes, another's by a foreign key.
  StartServer();
  std::array<uint8_t, 32> other_hash{};
  Served("l2", "main.vdb.sig", TestSigner().Sign(FileStatement("l2", "main.vdb", 14, other_hash)));
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);
  unlink((files_.path() + "/l2/main.vdb.sig").c_str());
  std::array<uint8_t, 32> hash;
  uint64_t size = 0;
  ASSERT_TRUE(HashFile(files_.path() + "/h2/Kavlo.dll", &hash, &size));
  Served("h2", "Kavlo.dll.sig", foreign.signer->Sign(FileStatement("h2", "Kavlo.dll", size, hash)));
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);
  EXPECT_EQ(Word("Low_Word"), "l1");

  // No trusted key at all: nothing is taken, whoever signed it.
  unlink((files_.path() + "/h2/Kavlo.dll.sig").c_str());
  UpdateOptions keyless = Options();
  keyless.keys.clear();
  EXPECT_EQ(RunUpdate(keyless), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);

  // The trusted key's signatures are taken.
  EXPECT_EQ(Update(), 2);
  EXPECT_EQ(ReadTextFile(Engine("libqxav.so")), "another user's library");
  EXPECT_EQ(ReadTextFile(Engine("main.vdb")), "new signatures");
}

TEST_F(UpdateClientTest, ServerAndKeysComeOnlyFromATrustedSettingsFile) {
  StartServer();
  // No server named anywhere: nobody is asked (there is no default address).
  UpdateOptions options = Options();
  options.server.clear();
  options.primary_port = options.alternate_port = server_->question_port();
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(RunUpdate(options), kUpdateNoConnection);
  EXPECT_EQ(server_->questions(), 0);
  EXPECT_TRUE(debug.Contains("[QXAV] update: no update server is configured"));

  TempDir settings;
  const std::string key = UpdateKeyText(TestSigner().PublicKey());
  const std::string ini = WriteTextFile(settings.path() + "/dvscan.ini",
                                        "[update]\nserverIP=127.0.0.1\nkeys=" + key + "\n");
  UpdateSettings read = ReadUpdateSettings(settings.path());
  EXPECT_EQ(read.server, "127.0.0.1");
  ASSERT_EQ(read.keys.size(), 1u);
  EXPECT_EQ(read.keys[0], TestSigner().PublicKey());

  // The settings make a whole update: the server from the file, the key from the file.
  Served("l2", "main.vdb", "sig");
  InstalledWords("h2", "l1");
  options.settings_folder = settings.path();
  options.keys.clear();
  EXPECT_EQ(RunUpdate(options), 1);

  // A file or folder another user may write is not used; nor a malformed key.
  chmod(ini.c_str(), 0666);
  EXPECT_TRUE(ReadUpdateSettings(settings.path()).server.empty());
  chmod(ini.c_str(), 0644);
  chmod(settings.path().c_str(), 0777);
  EXPECT_TRUE(ReadUpdateSettings(settings.path()).keys.empty());
  chmod(settings.path().c_str(), 0700);
  WriteTextFile(ini, "[update]\nserverIP=h\nkeys=" + key + ",12ab\n");
  EXPECT_TRUE(ReadUpdateSettings(settings.path()).keys.empty());
  EXPECT_EQ(ReadUpdateSettings(settings.path()).server, "h");
}

TEST_F(UpdateClientTest, ALaterFailingFileKeepsEveryOldDatabase) {
  StartServer();
  InstalledWords("h2", "l1");
  for (const char* name : {"a.vdb", "b.vdb", "c.vdb", "d.vdb"})
    WriteTextFile(Engine(name), std::string("old ") + name);
  const auto before = FolderBytes(engine_.path());
  Served("l2", "Dvbase.vdb", "new base");
  Served("l2", "a.vdb", "new a");
  Served("l2", "filesys.htm",
         "30152014032009,Dvbase.vdb,8\r\n30152014032009,a.vdb,5\r\n"
         "30152014032009,missing.vdb,4\r\n");
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_EQ(FolderBytes(engine_.path()), before);
  EXPECT_EQ(Word("Low_Word"), "l1");

  // Once every file arrives the same list commits: the base, then the purge.
  Served("l2", "missing.vdb", "here");
  EXPECT_EQ(Update(), 3);
  auto after = FolderBytes(engine_.path());
  after.erase("dvupdate.ini");
  EXPECT_EQ(after, (std::map<std::string, std::string>{
                       {"Dvbase.vdb", "new base"}, {"a.vdb", "new a"}, {"missing.vdb", "here"}}));
}

TEST_F(UpdateClientTest, ANameListedTwiceIsFetchedOnceAndCommitted) {
  StartServer();
  Served("h2", "x.vdb", "from h2");
  Served("h2", "filesys.htm", "30152014032009,x.vdb,7\r\n");
  Served("l2", "x.vdb", "from l2");
  Served("l2", "filesys.htm", "30152014032009,x.vdb,7\r\n30152014032009,x.vdb,7\r\n");
  InstalledWords("h1", "l1");
  EXPECT_EQ(Update(), 1);
  EXPECT_EQ(ReadTextFile(Engine("x.vdb")), "from l2");
  EXPECT_EQ(Word("Low_Word"), "l2");
}

TEST_F(UpdateClientTest, AKilledUpdateLeavesNothingForTheNextRun) {
  StartServer();
  InstalledWords("h2", "l1");
  Served("l2", "main.vdb", "sig");
  const std::string staging = Engine(kUpdateStaging);
  ASSERT_EQ(mkdir(staging.c_str(), 0700), 0);
  WriteTextFile(staging + "/.main.vdb.part.abc123", "half of a file");
  WriteTextFile(staging + "/libqxav.so", "staged by a killed run");
  EXPECT_EQ(Update(), 1);
  EXPECT_FALSE(Exists(staging));
  EXPECT_FALSE(Exists(Engine("libqxav.so")));
  EXPECT_EQ(ReadTextFile(Engine("main.vdb")), "sig");
}

// A signed list for the word l2 naming one file, for servers scripted below.
std::string SignedListReply(const std::string& path, const std::string& list) {
  if (path == "/l2/filesys.htm") return list;
  if (path == "/l2/filesys.htm.sig") return TestSigner().Sign(ListStatement("l2", list));
  return {};
}

// Names in the engine folder and its staging folder that are not the given ones.
std::vector<std::string> Leftovers(const std::string& folder, const std::set<std::string>& known) {
  std::vector<std::string> found;
  try {
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder)) {
      const std::string name = item.path().filename().string();
      if (!known.count(name)) found.push_back(item.path().string());
    }
  } catch (const std::filesystem::filesystem_error&) {
    // A file that went while it was listed (an update runs meanwhile).
  }
  return found;
}

TEST_F(UpdateClientTest, AnUpdateKilledInADownloadLeavesNoPartialFile) {
  // Sends half of the listed file, then holds the connection.
  ScriptedPeer http([](int fd, ScriptedPeer& peer) {
    const std::string path = ScriptedPeer::ReadRequestPath(fd);
    const std::string list = "30152014032009,big.vdb,100000\r\n";
    if (std::string reply = SignedListReply(path, list); !reply.empty()) {
      ScriptedPeer::SendOk(fd, reply);
      return;
    }
    if (path.ends_with(".sig")) return;
    if (ScriptedPeer::SendAll(
            fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(50000, 'x'))) {
      while (peer.Pause(std::chrono::milliseconds(100))) {
      }
    }
  });
  update_server::ServerConfig config;
  config.answer_override = "EAh2;l2;http://127.0.0.1:" + std::to_string(http.port()) + "/";
  StartServer(config);
  InstalledWords("h2", "l1");
  WriteTextFile(Engine("big.vdb"), "the old big file");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(RunUpdate(Options()) == kUpdateFailed ? 0 : 1);
  // Killed while the file is half here.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto half_here = [&] {
    for (const std::string& path : Leftovers(engine_.path(), {}))
      if (path.find(".big.vdb.part.") != std::string::npos) return true;
    return false;
  };
  while (std::chrono::steady_clock::now() < give_up && !half_here())
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(half_here());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the update ended before it was killed";
  EXPECT_EQ(ReadTextFile(Engine("big.vdb")), "the old big file");

  // The next run (the server now complete) leaves only whole files.
  Served("l2", "main.vdb", "sig");
  Served("l2", "big.vdb", "new big");
  StartServer();
  EXPECT_EQ(Update(), 2);
  EXPECT_EQ(Leftovers(engine_.path(), {"dvupdate.ini", "big.vdb", "main.vdb"}),
            std::vector<std::string>());
  EXPECT_EQ(ReadTextFile(Engine("big.vdb")), "new big");
}

// The question's server answers one letter per second.
TEST_F(UpdateClientTest, ATricklingQuestionEndsAtItsDeadline) {
  ScriptedPeer trickle([](int fd, ScriptedPeer& peer) {
    char question[16];
    if (recv(fd, question, sizeof question, MSG_WAITALL) != 16) return;
    const std::string answer = EncodeExchange("EAh2;l2;http://127.0.0.1:1/");
    for (size_t i = 0; i < 10; ++i) {
      if (!ScriptedPeer::SendAll(fd, std::string(1, answer[i])) ||
          !peer.Pause(std::chrono::seconds(1)))
        return;
    }
  });
  UpdateOptions options = Options();
  options.primary_port = options.alternate_port = trickle.port();
  options.limits.question_deadline_ms = 1500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdate(options), kUpdateNoConnection);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(Exists(Ini()));
}

TEST_F(UpdateClientTest, ATricklingDownloadEndsAtTheMinimumRate) {
  // Sends one byte of the file a second, for 10 s.
  ScriptedPeer http([](int fd, ScriptedPeer& peer) {
    const std::string path = ScriptedPeer::ReadRequestPath(fd);
    const std::string list = "30152014032009,slow.vdb,100000\r\n";
    if (std::string reply = SignedListReply(path, list); !reply.empty()) {
      ScriptedPeer::SendOk(fd, reply);
      return;
    }
    if (!ScriptedPeer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n")) return;
    for (int i = 0; i < 10; ++i) {
      if (!ScriptedPeer::SendAll(fd, "x") || !peer.Pause(std::chrono::seconds(1))) return;
    }
  });
  update_server::ServerConfig config;
  config.answer_override = "EAh2;l2;http://127.0.0.1:" + std::to_string(http.port()) + "/";
  StartServer(config);
  InstalledWords("h2", "l1");
  UpdateOptions options = Options();
  options.limits.min_rate_bytes = 1000;
  options.limits.min_rate_seconds = 1;
  // One byte a second is far below the minimum rate.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdate(options), kUpdateFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(Exists(Engine("slow.vdb")));
  EXPECT_FALSE(Exists(Engine(kUpdateStaging)));
  EXPECT_EQ(Word("Low_Word"), "l1");
}

TEST_F(UpdateClientTest, TheBudgetEndsAnUpdateThatKeepsTheMinimumRate) {
  ScriptedPeer http([](int fd, ScriptedPeer& peer) {
    const std::string path = ScriptedPeer::ReadRequestPath(fd);
    const std::string list = "30152014032009,steady.vdb,100000\r\n";
    if (std::string reply = SignedListReply(path, list); !reply.empty()) {
      ScriptedPeer::SendOk(fd, reply);
      return;
    }
    if (!ScriptedPeer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n")) return;
    for (int i = 0; i < 50; ++i) {  // 2,000 bytes every 200 ms: 10 s for the file
      if (!ScriptedPeer::SendAll(fd, std::string(2000, 'x')) ||
          !peer.Pause(std::chrono::milliseconds(200)))
        return;
    }
  });
  update_server::ServerConfig config;
  config.answer_override = "EAh2;l2;http://127.0.0.1:" + std::to_string(http.port()) + "/";
  StartServer(config);
  InstalledWords("h2", "l1");
  UpdateOptions options = Options();
  options.limits.min_rate_bytes = 1000;
  options.limits.min_rate_seconds = 1;
  options.limits.budget_ms = 1500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunUpdate(options), kUpdateFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_FALSE(Exists(Engine("steady.vdb")));
}

TEST_F(UpdateClientTest, HugeListedSizesAreRefusedBeforeAnyByteIsFetched) {
  std::atomic<uint64_t> streamed{0};
  std::atomic<uint64_t> listed{1000000000000ull};  // 10^12 bytes
  ScriptedPeer http([&](int fd, ScriptedPeer& peer) {
    const std::string path = ScriptedPeer::ReadRequestPath(fd);
    const std::string list = "30152014032009,huge.vdb," + std::to_string(listed.load()) + "\r\n";
    if (std::string reply = SignedListReply(path, list); !reply.empty()) {
      ScriptedPeer::SendOk(fd, reply);
      return;
    }
    if (!ScriptedPeer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n")) return;
    const std::string block(1 << 20, 'z');
    for (int i = 0; i < 64 && !peer.stopping(); ++i) {  // at most 64 MiB
      if (!ScriptedPeer::SendAll(fd, block)) return;
      streamed += block.size();
    }
  });
  update_server::ServerConfig config;
  config.answer_override = "EAh2;l2;http://127.0.0.1:" + std::to_string(http.port()) + "/";
  StartServer(config);
  InstalledWords("h2", "l1");
  platform::ScopedDebugCapture debug;
  EXPECT_EQ(Update(), kUpdateFailed);
  EXPECT_TRUE(debug.Contains(
      "[QXAV] update: huge.vdb is listed with 1000000000000 bytes, more than the 536870912 "
      "allowed"));
  // Past the size limit, the free space: no disk here holds 10^15 bytes.
  listed = 999999999999999ull;
  UpdateOptions options = Options();
  options.limits.max_file_bytes = ~0ull;
  EXPECT_EQ(RunUpdate(options), kUpdateFailed);
  EXPECT_EQ(streamed.load(), 0u);
  EXPECT_EQ(http.connections(), 4);  // the list and its signature, twice
  EXPECT_FALSE(Exists(Engine("huge.vdb")));
  EXPECT_FALSE(Exists(Engine(kUpdateStaging)));
}

}  // namespace
}  // namespace qxfw::avlib
