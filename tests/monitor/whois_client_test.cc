#include "monitor/whois_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/file.h"

namespace qxfw::monitor {
namespace {

using platform::UniqueFd;
using Clock = std::chrono::steady_clock;

// A WHOIS server on 127.0.0.1 with an ephemeral port. It serves one connection at a time:
// reads the query line, then sends `answer` and closes, or stays silent until stopped.
class FakeWhoisServer {
 public:
  explicit FakeWhoisServer(std::string answer, bool silent = false)
      : answer_(std::move(answer)), silent_(silent) {
    listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_.Get(), 4) != 0 ||
        ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (::pipe2(stop_, O_CLOEXEC) != 0) return;
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeWhoisServer() {
    if (thread_.joinable()) {
      ssize_t ignored = ::write(stop_[1], "x", 1);
      (void)ignored;
      thread_.join();
    }
    ::close(stop_[0]);
    ::close(stop_[1]);
  }
  uint16_t port() const { return port_; }
  std::string request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }
  int connections() const { return connections_; }

 private:
  bool WaitReadable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    return ::poll(fds, 2, 20000) > 0 && fds[1].revents == 0;
  }
  void Serve() {
    while (WaitReadable(listener_.Get())) {
      UniqueFd client(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!client.Valid()) return;
      ++connections_;
      std::string line;
      char buffer[256];
      while (line.find('\n') == std::string::npos && WaitReadable(client.Get())) {
        ssize_t n = ::recv(client.Get(), buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        line.append(buffer, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        request_ = line;
      }
      if (silent_) {
        WaitReadable(stop_[0]);
        return;
      }
      size_t sent = 0;
      while (sent < answer_.size()) {
        ssize_t n =
            ::send(client.Get(), answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the client stopped reading and closed
        sent += static_cast<size_t>(n);
      }
    }
  }

  UniqueFd listener_;
  std::string answer_;
  bool silent_;
  uint16_t port_ = 0;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::string request_;
  std::atomic<int> connections_{0};
};

constexpr WhoisTimeouts kShort{1000, 300, 3000};

TEST(WhoisClientTest, SendsTheQueryLineAndReturnsTheAnswer) {
  const std::string answer =
      "% test registry\nNetRange: 192.0.2.0 - 192.0.2.255\nOrgName: Documentation\n";
  FakeWhoisServer server(answer);
  ASSERT_NE(server.port(), 0);
  CWhoisClient client("127.0.0.1", server.port(), kShort);
  EXPECT_EQ(client.ServerAddress(), "127.0.0.1");
  EXPECT_EQ(client.Query("192.0.2.7"), answer);
  EXPECT_EQ(server.request(), "192.0.2.7 \r\n");
}

TEST(WhoisClientTest, QueryTextStaysOneLine) {
  FakeWhoisServer server("ok\n");
  CWhoisClient client("127.0.0.1", server.port(), kShort);
  EXPECT_EQ(client.Query("192.0.2.7\r\nsecond query"), "ok\n");
  EXPECT_EQ(server.request(), "192.0.2.7 \r\n");
  EXPECT_EQ(client.Query(std::string(1000, 'a')), "ok\n");
  EXPECT_EQ(server.request(), std::string(CWhoisClient::kMaxQueryText, 'a') + " \r\n");
}

TEST(WhoisClientTest, OversizedAnswerIsCutAtTheBuffer) {
  std::string answer;
  while (answer.size() < 64 * 1024)
    answer += "remarks: line " + std::to_string(answer.size()) + "\n";
  FakeWhoisServer server(answer);
  CWhoisClient client("127.0.0.1", server.port(), kShort);
  std::string got = client.Query("192.0.2.7");
  ASSERT_EQ(got.size(), CWhoisClient::kAnswerBufferSize - 1);
  EXPECT_EQ(got, answer.substr(0, got.size()));

  std::string display = WhoisDisplayText(got);
  EXPECT_LE(display.size(), CWhoisClient::kAnswerBufferSize - 1);
  EXPECT_GE(display.size(), CWhoisClient::kAnswerBufferSize - 2);
  EXPECT_NE(display.back(), '\r');  // never half a line break
  // Every line feed in the copy has its carriage return.
  for (size_t i = 0; i < display.size(); ++i) {
    if (display[i] == '\n') {
      ASSERT_TRUE(i > 0 && display[i - 1] == '\r') << i;
    }
  }
}

TEST(WhoisClientTest, DisplayTextTurnsLineFeedsIntoLineBreaks) {
  EXPECT_EQ(WhoisDisplayText("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(WhoisDisplayText("\n"), "\r\n");
  EXPECT_EQ(WhoisDisplayText(""), "");
  std::string lines(20000, '\n');
  EXPECT_EQ(WhoisDisplayText(lines).size(), 14998u);  // 7499 whole pairs
}

TEST(WhoisClientTest, NulBytesInTheAnswerAreDropped) {
  FakeWhoisServer server(std::string("ab\0cd\n", 6));
  CWhoisClient client("127.0.0.1", server.port(), kShort);
  EXPECT_EQ(client.Query("x"), "abcd\n");
}

TEST(WhoisClientTest, FailuresGiveAnEmptyAnswer) {
  // Silent server: the receive time-out ends the query.
  {
    FakeWhoisServer server("", true);
    CWhoisClient client("127.0.0.1", server.port(), kShort);
    auto start = Clock::now();
    EXPECT_EQ(client.Query("192.0.2.7"), "");
    auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(server.request(), "192.0.2.7 \r\n");
  }
  // Nobody listens: connection refused.
  uint16_t closedPort;
  {
    FakeWhoisServer gone("x");
    closedPort = gone.port();
  }
  EXPECT_EQ(CWhoisClient("127.0.0.1", closedPort, kShort).Query("192.0.2.7"), "");
  // Server answers nothing and closes.
  {
    FakeWhoisServer server("");
    EXPECT_EQ(CWhoisClient("127.0.0.1", server.port(), kShort).Query("192.0.2.7"), "");
    EXPECT_EQ(server.connections(), 1);
  }
  // No server address (nothing to resolve: tests stay off the network's name service).
  CWhoisClient empty("", 43, kShort);
  EXPECT_EQ(empty.ServerAddress(), "");
  EXPECT_EQ(empty.Query("192.0.2.7"), "");
}

TEST(WhoisClientTest, SetServerResolvesHostNames) {
  FakeWhoisServer server("via name\n");
  CWhoisClient client("", server.port(), kShort);
  EXPECT_EQ(client.ServerAddress(), "");
  client.SetServer("localhost");
  EXPECT_EQ(client.ServerName(), "localhost");
  EXPECT_EQ(client.ServerAddress(), "127.0.0.1");
  EXPECT_EQ(client.Query("192.0.2.7"), "via name\n");
}

class Result {
 public:
  void Set(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ = text;
    ready_.notify_all();
  }
  std::optional<std::string> Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, limit, [&] { return text_.has_value(); });
    return text_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<std::string> text_;
};

TEST(WhoisLookupTest, AnswersOnItsOwnThread) {
  FakeWhoisServer server("NetName: TEST\nCountry: ZZ\n");
  auto result = std::make_shared<Result>();
  std::thread::id caller = std::this_thread::get_id();
  auto worker = std::make_shared<std::thread::id>();
  auto start = Clock::now();
  CWhoisLookup lookup(
      "192.0.2.7",
      [result, worker](const std::string& text) {
        *worker = std::this_thread::get_id();
        result->Set(text);
      },
      "127.0.0.1", server.port(), kShort);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));
  auto text = result->Wait(std::chrono::seconds(5));
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "NetName: TEST\r\nCountry: ZZ\r\n");
  EXPECT_NE(*worker, caller);
}

TEST(WhoisLookupTest, EmptyAnswerAndCancel) {
  {
    FakeWhoisServer server("");
    auto result = std::make_shared<Result>();
    CWhoisLookup lookup(
        "192.0.2.7", [result](const std::string& text) { result->Set(text); }, "127.0.0.1",
        server.port(), kShort);
    auto text = result->Wait(std::chrono::seconds(5));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "");
  }
  FakeWhoisServer silent("", true);
  auto result = std::make_shared<Result>();
  {
    CWhoisLookup lookup(
        "192.0.2.7", [result](const std::string& text) { result->Set(text); }, "127.0.0.1",
        silent.port(), WhoisTimeouts{1000, 10000, 10000});
    // Closing the dialog while the server is silent: no answer is delivered afterwards.
  }
  EXPECT_FALSE(result->Wait(std::chrono::milliseconds(600)).has_value());
}

}  // namespace
}  // namespace qxfw::monitor
