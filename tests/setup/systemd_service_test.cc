// The unit road against a stand-in systemctl (fake_systemctl.sh) that keeps the unit's state in
// files and logs every call, so the calls and their order can be checked without systemd.
#include "setup/systemd_service.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

#include "platform/file.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::setup {
namespace {

namespace fs = std::filesystem;
using test_support::ReadTextFile;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteTextFile;

class SystemdServiceTest : public ::testing::Test {
 protected:
  SystemdServiceTest() : dir_("FAKE_SYSTEMCTL_DIR", temp_.path()) {
    fs::create_directories(temp_.path() + "/bin");
    fs::create_directories(temp_.path() + "/units");
    fs::create_directories(temp_.path() + "/run");
    fs::copy_file(FAKE_SYSTEMCTL_PATH, temp_.path() + "/bin/systemctl");
    place_ = {"/opt/qxfw/qltdifw", temp_.path() + "/run", "ExecStart=/opt/qxfw/qltdifw\n"};
    // The device socket the daemon would serve.
    sock_ = platform::UniqueFd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = place_.runtime + "/qltdifw.sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(sock_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  }
  void State(const char* load, const char* active) {
    WriteTextFile(temp_.path() + "/LoadState", std::string(load) + "\n");
    WriteTextFile(temp_.path() + "/ActiveState", std::string(active) + "\n");
  }
  CSystemdService Service() {
    return CSystemdService(place_, temp_.path() + "/units", temp_.path() + "/bin");
  }
  std::string Log() const { return ReadTextFile(temp_.path() + "/log"); }

  TempDir temp_;
  ScopedEnv dir_;
  DaemonPlace place_;
  platform::UniqueFd sock_;
};

TEST_F(SystemdServiceTest, AnUnknownUnitIsWrittenWithTheUserAndStarted) {
  State("not-found", "inactive");
  ASSERT_TRUE(Service().Start(1000)) << Log();
  EXPECT_EQ(ReadTextFile(temp_.path() + "/units/qltdifw.service"), place_.unitText);
  EXPECT_EQ(ReadTextFile(temp_.path() + "/units/qltdifw.service.d/user.conf"),
            "[Service]\nEnvironment=QLTDIFW_USER=1000\nEnvironment=QLTDIFW_RUNTIME_DIR=" +
                place_.runtime + "\n");
  EXPECT_NE(Log().find("daemon-reload\nshow --property ActiveState --value qltdifw.service\n"
                       "start qltdifw.service\n"),
            std::string::npos)
      << Log();
  EXPECT_EQ(Log().find("enable"), std::string::npos) << "the unit is started on demand only";
}

TEST_F(SystemdServiceTest, AMaskedUnitIsUnmaskedFirstAndARunningOneCountsAsStarted) {
  State("masked", "inactive");
  ASSERT_TRUE(Service().Start(0));
  std::string log = Log();
  EXPECT_LT(log.find("unmask qltdifw.service"), log.find("start qltdifw.service")) << log;
  EXPECT_FALSE(fs::exists(temp_.path() + "/units/qltdifw.service"));  // the packaged unit serves
  fs::remove(temp_.path() + "/log");
  ASSERT_TRUE(Service().Start(0));
  EXPECT_EQ(Log().find("start "), std::string::npos) << "a running unit was started again";
}

TEST_F(SystemdServiceTest, StopAndRemove) {
  State("not-found", "inactive");
  ASSERT_TRUE(Service().Start(0));
  EXPECT_TRUE(Service().Stop());
  EXPECT_NE(Log().find("stop qltdifw.service"), std::string::npos);
  ASSERT_TRUE(Service().Start(0));
  EXPECT_TRUE(Service().Remove());
  EXPECT_FALSE(fs::exists(temp_.path() + "/units/qltdifw.service"));
  EXPECT_FALSE(fs::exists(temp_.path() + "/units/qltdifw.service.d"));
}

}  // namespace
}  // namespace qxfw::setup
