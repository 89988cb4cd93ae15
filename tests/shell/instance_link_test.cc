// The instance link: one request and answer per connection, bounds on both.
#include "shell/instance_link.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

namespace qxfw::shell {
namespace {

// A private folder of this test process for the link's socket.
std::string UniqueName(const char* what) {
  static const struct Folder {
    Folder() {
      std::string pattern = "/tmp/qxfw-link-XXXXXX";
      if (::mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~Folder() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } folder;
  return folder.path + "/" + what;
}

TEST(InstanceLink, RequestAndAnswer) {
  std::string name = UniqueName("link");
  CInstanceLinkServer server(name);
  ASSERT_TRUE(server.Valid());
  // The name is held: a second server cannot bind it.
  EXPECT_FALSE(CInstanceLinkServer(name).Valid());
  std::thread serve([&] {
    for (int i = 0; i < 200; ++i) {
      auto pending = server.Accept();
      if (!pending) {
        ::usleep(10000);
        continue;
      }
      EXPECT_EQ(pending->request.kind, 'C');
      CInstanceLinkServer::Answer(*pending, '0', "got " + pending->request.text);
      return;
    }
  });
  auto answer = SendToRunningInstance({'C', std::string("a\0b", 3)}, 1000, 2000, name);
  serve.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->kind, '0');
  EXPECT_EQ(answer->text, std::string("got a\0b", 7));
}

TEST(InstanceLink, NoServerAndOversizedRequest) {
  std::string name = UniqueName("absent");
  EXPECT_FALSE(SendToRunningInstance({'S', ""}, 100, 100, name).has_value());
  CInstanceLinkServer server(name);
  ASSERT_TRUE(server.Valid());
  EXPECT_FALSE(SendToRunningInstance({'C', std::string(kMaxLinkRequest, 'x')}, 100, 100, name));
}

}  // namespace
}  // namespace qxfw::shell
