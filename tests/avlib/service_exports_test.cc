// The service exports of the built libqxav.so, loaded by name as the program loads it, and
// qxfwctl's quarantine and update commands over them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <string>

#include "avlib/qxav.h"
#include "test_support/command_output.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"
#include "update_server.h"

namespace qxfw::avlib {
namespace {

using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

class ServiceExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(QXAV_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  template <typename F>
  F* Get(const char* name) {
    return reinterpret_cast<F*>(dlsym(handle_, name));
  }
  void* handle_ = nullptr;
  TempDir sys_;
  TempDir work_;
  TempDir registry_;
  ScopedEnv registry_env_{"QXFW_REGISTRY_DIR", registry_.path()};
};

TEST_F(ServiceExportsTest, QuarantineRoundTripThroughTheExports) {
  auto define = Get<decltype(::DefineQuarantine)>("DefineQuarantine");
  auto to_quarantine = Get<decltype(::FileToQuarantine)>("FileToQuarantine");
  auto restore = Get<decltype(::RestoreFile)>("RestoreFile");
  ASSERT_TRUE(define && to_quarantine && restore);
  EXPECT_EQ(define(nullptr), 0);
  EXPECT_EQ(define(std::string(300, 'x').c_str()), 0);
  ASSERT_EQ(define(sys_.path().c_str()), 1);
  const std::string path = WriteTextFile(work_.path() + "/eicar.com", "X5O!P%@AP");
  EXPECT_EQ(to_quarantine(nullptr, "V"), 0);
  ASSERT_EQ(to_quarantine(path.c_str(), "Eicar-Test-Signature"), 1);
  struct stat st;
  EXPECT_NE(stat(path.c_str(), &st), 0);
  const std::string folder = sys_.path() + "/quarantine/" + std::to_string(geteuid());
  std::string name;
  for (const auto& item : std::filesystem::directory_iterator(folder)) name = item.path();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(restore(nullptr), 0);
  ASSERT_EQ(restore(name.c_str()), 1);
  EXPECT_EQ(ReadTextFile(path), "X5O!P%@AP");
}

const UpdateSigner& TestSigner() {
  static const UpdateSigner signer = *UpdateSigner::Generate();
  return signer;
}

// The system folder's dvscan.ini trusts the test key, as the installer's configuration does.
void TrustTestKey(const std::string& system_folder) {
  WriteTextFile(system_folder + "/dvscan.ini",
                "[update]\nkeys=" + UpdateKeyText(TestSigner().PublicKey()) + "\n");
}

// A reference server for the words h1 and l1 with the given signature files under l1.
std::unique_ptr<update_server::UpdateServer> ServeSignatures(
    const std::string& folder, const std::vector<std::pair<std::string, std::string>>& files) {
  mkdir((folder + "/h1").c_str(), 0755);
  mkdir((folder + "/l1").c_str(), 0755);
  for (const auto& [name, content] : files) WriteTextFile(folder + "/l1/" + name, content);
  update_server::ServerConfig config;
  config.folder = folder;
  config.high = "h1";
  config.low = "l1";
  config.signer = std::shared_ptr<const UpdateSigner>(&TestSigner(), [](const UpdateSigner*) {});
  auto server = std::make_unique<update_server::UpdateServer>(config);
  std::string error;
  if (!server->Start(&error)) ADD_FAILURE() << error;
  return server;
}

struct Progress {
  int32_t high = -1;
  int32_t position = 0;
  std::vector<std::string> texts;
};

TEST_F(ServiceExportsTest, UpdateWithProgressReportsRangeStepsAndPaths) {
  TempDir files, engine;
  auto server = ServeSignatures(files.path(), {{"main.vdb", "sig"}, {"daily.vdb", "daily"}});
  ScopedEnv server_env("QXAV_UPDATE_SERVER",
                       "127.0.0.1:" + std::to_string(server->question_port()));
  ScopedEnv system_env("QXFW_SYSTEM_DIR", sys_.path());
  TrustTestKey(sys_.path());

  Progress progress;
  QxavProgressBar bar{
      &progress, [](void* c, int32_t, int32_t high) { static_cast<Progress*>(c)->high = high; },
      [](void* c) { return static_cast<Progress*>(c)->position; },
      [](void* c, int32_t p) { static_cast<Progress*>(c)->position = p; }};
  QxavTextWindow text{
      &progress, [](void* c, const char* t) { static_cast<Progress*>(c)->texts.push_back(t); }};
  auto update = Get<decltype(::FileUpdateWithProgress)>("FileUpdateWithProgress");
  ASSERT_NE(update, nullptr);
  EXPECT_EQ(update(nullptr, &bar, &text), -3);
  EXPECT_EQ(update(engine.path().c_str(), &bar, &text), 2);
  EXPECT_EQ(progress.high, 2);
  EXPECT_EQ(progress.position, 2);
  ASSERT_EQ(progress.texts.size(), 2u);
  EXPECT_EQ(progress.texts[0], engine.path() + "/daily.vdb");
  EXPECT_EQ(ReadTextFile(engine.path() + "/main.vdb"), "sig");
  auto check = Get<decltype(::FileUpdate)>("FileUpdate");
  EXPECT_EQ(check(engine.path().c_str(), 1), 0);
}

using CtlRun = test_support::CommandOutput;

CtlRun Qxfwctl(const std::string& env, const std::string& arguments) {
  return test_support::RunCommandLine(env + " " QXFWCTL_PATH " " + arguments + " 2>&1");
}

TEST_F(ServiceExportsTest, QxfwctlListsRestoresDeletesAndUpdates) {
  TempDir appdata;
  const std::string av = appdata.path() + "/QOLTEX/AntiVirus";
  std::filesystem::create_directories(av);
  ASSERT_EQ(symlink(QXAV_LIBRARY_PATH, (av + "/libqxav.so").c_str()), 0);
  const std::string env = "QXFW_APPDATA='" + appdata.path() + "' QXFW_SYSTEM_DIR='" + sys_.path() +
                          "' QXFW_REGISTRY_DIR='" + registry_.path() + "'";
  auto define = Get<decltype(::DefineQuarantine)>("DefineQuarantine");
  auto to_quarantine = Get<decltype(::FileToQuarantine)>("FileToQuarantine");
  ASSERT_EQ(define(sys_.path().c_str()), 1);
  const std::string a = WriteTextFile(work_.path() + "/a", "aaa");
  const std::string b = WriteTextFile(work_.path() + "/b", "bb");
  ASSERT_EQ(to_quarantine(a.c_str(), "Virus.A"), 1);
  ASSERT_EQ(to_quarantine(b.c_str(), "Virus.B"), 1);

  CtlRun list = Qxfwctl(env, "quarantine list");
  ASSERT_EQ(list.status, 0) << list.out;
  ASSERT_NE(list.out.find("\t" + a + "\tVirus.A\t3\n"), std::string::npos) << list.out;
  std::string first = list.out.substr(0, list.out.find('\t'));
  std::string second = list.out.substr(list.out.find('\n') + 1);
  second = second.substr(0, second.find('\t'));

  CtlRun restored = Qxfwctl(env, "quarantine restore " + first);
  EXPECT_EQ(restored.status, 0) << restored.out;
  EXPECT_EQ(ReadTextFile(a), "aaa");
  EXPECT_EQ(Qxfwctl(env, "quarantine restore " + first).status, 1);
  EXPECT_EQ(Qxfwctl(env, "quarantine delete ../" + second).status, 2);
  EXPECT_EQ(Qxfwctl(env, "quarantine delete " + second).status, 0);
  EXPECT_EQ(Qxfwctl(env, "quarantine list").out, "");
  EXPECT_EQ(Qxfwctl(env, "quarantine").status, 2);

  TempDir files, engine;
  auto server = ServeSignatures(files.path(), {{"main.vdb", "sig"}});
  const std::string where = " --server 127.0.0.1:" + std::to_string(server->question_port()) +
                            " --folder " + engine.path();
  // Without a trusted key nothing is taken.
  CtlRun untrusted = Qxfwctl(env, "update" + where);
  EXPECT_EQ(untrusted.status, 1);
  EXPECT_NE(untrusted.out.find("the update failed"), std::string::npos) << untrusted.out;
  EXPECT_FALSE(std::filesystem::exists(engine.path() + "/main.vdb"));
  TrustTestKey(sys_.path());
  CtlRun check = Qxfwctl(env, "update --check" + where);
  EXPECT_EQ(check.status, 0);
  EXPECT_EQ(check.out, "an update is available\n");
  CtlRun update = Qxfwctl(env, "update --basic" + where);
  EXPECT_EQ(update.out, "1 files updated in " + engine.path() + "\n");
  EXPECT_EQ(Qxfwctl(env, "update" + where).out, "signatures are up to date\n");
  server->Stop();
  CtlRun down = Qxfwctl(env, "update" + where);
  EXPECT_EQ(down.status, 1);
  EXPECT_NE(down.out.find("no connection"), std::string::npos) << down.out;
}

}  // namespace
}  // namespace qxfw::avlib
