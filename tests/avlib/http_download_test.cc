// Downloads: only http(s), bounded, timed out, and never a half-written target.
#include "avlib/http_download.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "test_support/file_text.h"
#include "test_support/temp_dir.h"
#include "update_server.h"

namespace qxfw::avlib {
namespace {

using test_support::ReadTextFile;
using test_support::TempDir;
using test_support::WriteTextFile;

size_t FilesIn(const std::string& folder) {
  size_t n = 0;
  for (const auto& item : std::filesystem::directory_iterator(folder)) n += !item.path().empty();
  return n;
}

TEST(HttpDownloadTest, RefusesOtherSchemesAndKeepsTheTargetOnFailure) {
  TempDir dir;
  const std::string target = WriteTextFile(dir.path() + "/live.vdb", "live");
  WriteTextFile(dir.path() + "/secret", "secret");
  DownloadLimits limits;
  limits.max_bytes = 100;
  std::string why;
  EXPECT_FALSE(DownloadToFile("file://" + dir.path() + "/secret", target, limits, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(DownloadToFile("ftp://127.0.0.1/x", target, limits));

  TempDir files;
  mkdir((files.path() + "/w").c_str(), 0755);
  WriteTextFile(files.path() + "/w/big.vdb", std::string(5000, 'b'));
  WriteTextFile(files.path() + "/w/ok.vdb", "fresh");
  update_server::ServerConfig config;
  config.folder = files.path();
  config.high = config.low = "w";
  update_server::UpdateServer server(config);
  ASSERT_TRUE(server.Start(&why)) << why;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.http_port()) + "/w/";
  EXPECT_FALSE(DownloadToFile(base + "missing.vdb", target, limits, &why));  // 404
  EXPECT_FALSE(DownloadToFile(base + "big.vdb", target, limits, &why));      // over the bound
  limits.max_bytes = 6;
  limits.exact = true;
  EXPECT_FALSE(DownloadToFile(base + "ok.vdb", target, limits, &why));  // shorter than listed
  EXPECT_EQ(ReadTextFile(target), "live");
  EXPECT_EQ(FilesIn(dir.path()), 2u) << "a temporary file was left behind";
  limits.max_bytes = 5;
  ASSERT_TRUE(DownloadToFile(base + "ok.vdb", target, limits, &why)) << why;
  EXPECT_EQ(ReadTextFile(target), "fresh");
}

TEST(HttpDownloadTest, ASilentServerTimesOut) {
  // Accepts connections (the backlog) and never answers.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  socklen_t size = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  TempDir dir;
  DownloadLimits limits;
  limits.max_bytes = 10;
  limits.total_timeout_ms = 1000;
  limits.min_rate_seconds = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(DownloadToFile("http://127.0.0.1:" + std::to_string(ntohs(at.sin_port)) + "/x",
                              dir.path() + "/x", limits));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(FilesIn(dir.path()), 0u);
  close(fd);
}

}  // namespace
}  // namespace qxfw::avlib
