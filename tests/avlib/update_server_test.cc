// The reference update server under clients that trickle or hold their connection: others are
// still served at once, and the slow ones are cut off at their deadline.
#include "update_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "avlib/http_download.h"
#include "avlib/update_client.h"
#include "avlib/update_exchange.h"
#include "platform/file.h"
#include "test_support/file_text.h"
#include "test_support/temp_dir.h"

namespace qxfw::avlib {
namespace {

using Clock = std::chrono::steady_clock;
using test_support::ReadTextFile;
using test_support::TempDir;
using test_support::WriteTextFile;

platform::UniqueFd Connect(uint16_t port) {
  platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) fd.Reset();
  return fd;
}

// A client that sends the start of its request one byte every 500 ms until told to stop or
// the server closes on it; closed_after says when the server did.
class Trickler {
 public:
  Trickler(uint16_t port, std::string text) : fd_(Connect(port)) {
    thread_ = std::thread([this, text] {
      const auto start = Clock::now();
      for (size_t i = 0; !stop_ && fd_.Valid(); ++i) {
        if (send(fd_.Get(), &text[i % text.size()], 1, MSG_NOSIGNAL) != 1) break;
        pollfd p{fd_.Get(), POLLIN, 0};
        if (poll(&p, 1, 500) == 1) {
          char byte;
          if (recv(fd_.Get(), &byte, 1, MSG_DONTWAIT) <= 0) break;  // closed by the server
        }
      }
      if (!stop_) closed_after_ = Clock::now() - start;
    });
  }
  ~Trickler() {
    stop_ = true;
    thread_.join();
  }
  bool connected() const { return fd_.Valid(); }
  // Zero while the server still holds the connection.
  Clock::duration closed_after() const { return closed_after_; }

 private:
  platform::UniqueFd fd_;
  std::atomic<bool> stop_{false};
  std::atomic<Clock::duration> closed_after_{Clock::duration::zero()};
  std::thread thread_;
};

class UpdateServerTest : public ::testing::Test {
 protected:
  void Start(update_server::ServerConfig config = {}) {
    mkdir((files_.path() + "/h2").c_str(), 0755);
    mkdir((files_.path() + "/l2").c_str(), 0755);
    WriteTextFile(files_.path() + "/l2/main.vdb", "signatures");
    config.folder = files_.path();
    config.high = "h2";
    config.low = "l2";
    server_ = std::make_unique<update_server::UpdateServer>(config);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  // The question of a check-only update, with one wait of timeout_ms.
  int32_t Ask(int timeout_ms) {
    UpdateOptions options;
    options.engine_folder = engine_.path();
    options.server = "127.0.0.1";
    options.primary_port = options.alternate_port = server_->question_port();
    options.timeout_ms = timeout_ms;
    options.check_only = true;
    return RunUpdate(options);
  }

  TempDir files_;
  TempDir engine_;
  std::unique_ptr<update_server::UpdateServer> server_;
};

TEST_F(UpdateServerTest, SlowClientsDoNotHoldUpOthers) {
  Start();
  const std::string question = EncodeExchange(kUpdateQuestion);
  Trickler slow_question(server_->question_port(), question);
  Trickler slow_header(server_->http_port(), "GET /l2/main.vdb HTTP/1.0\r\nX: y\r\n");
  ASSERT_TRUE(slow_question.connected() && slow_header.connected());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  // While both trickle, a question and a download are answered at once.
  auto start = Clock::now();
  EXPECT_EQ(Ask(2000), kUpdateAvailable);
  DownloadLimits limits;
  limits.max_bytes = 10;
  limits.total_timeout_ms = 2000;
  const std::string target = engine_.path() + "/main.vdb";
  std::string why;
  EXPECT_TRUE(
      DownloadToFile("http://127.0.0.1:" + std::to_string(server_->http_port()) + "/l2/main.vdb",
                     target, limits, &why))
      << why;
  EXPECT_EQ(ReadTextFile(target), "signatures");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(slow_question.closed_after(), Clock::duration::zero());
}

TEST_F(UpdateServerTest, ARequestThatDoesNotArriveInTimeIsCutOff) {
  update_server::ServerConfig config;
  config.request_deadline_ms = 1000;
  config.max_connections = 4;
  Start(config);
  Trickler slow_question(server_->question_port(), EncodeExchange(kUpdateQuestion));
  Trickler slow_header(server_->http_port(), "GET /l2/main.vdb HTTP/1.0\r\nX: y\r\n");
  // Three connections hold their place; a fourth is still served.
  std::vector<platform::UniqueFd> idle;
  idle.push_back(Connect(server_->http_port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Ask(2000), kUpdateAvailable);

  // Past the limit of connections, the next is closed at once, not queued.
  idle.push_back(Connect(server_->http_port()));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  platform::UniqueFd extra = Connect(server_->question_port());
  ASSERT_TRUE(extra.Valid());
  pollfd p{extra.Get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 500), 1);
  char byte;
  EXPECT_EQ(recv(extra.Get(), &byte, 1, 0), 0);

  // Each trickler is closed about the request deadline after it began.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  for (const Trickler* slow : {&slow_question, &slow_header}) {
    EXPECT_GT(slow->closed_after(), std::chrono::milliseconds(700));
    EXPECT_LT(slow->closed_after(), std::chrono::milliseconds(1800));
  }
  // The server is free again once they went.
  EXPECT_EQ(Ask(2000), kUpdateAvailable);
}

}  // namespace
}  // namespace qxfw::avlib
