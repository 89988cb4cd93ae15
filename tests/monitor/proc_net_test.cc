#include "monitor/proc_net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "monitor/socket_owner.h"
#include "test_support/temp_dir.h"

namespace qxfw::monitor {
namespace {

TEST(ProcNet, ParsesSocketLinesAndSkipsDamagedOnes) {
  const std::string text =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
      "timeout inode\n"
      "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000 "
      "       0 4242 1 0000000000000000 100 0 0 10 0\n"
      "   1: 0100007F:D431 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000 "
      "       0 4243 1 0000000000000000 20 4 30 10 -1\n"
      "   2: 0100007:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1\n"
      "   3: 0100007F:1F90 00000000:0000 ZZ 00000000:00000000 00:00000000 00000000 0 0 1\n"
      "   4: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0\n"
      "   5: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 12x\n"
      "   6: 0100007F:1F90\n"
      "   7: 0A000001:0035 00000000:0000 07 00000000:00000000 00:00000000 00000000 0 0 0";
  std::vector<InetSocketRow> rows;
  ParseProcNetTable(text, &rows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].localAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(rows[0].localPort, htons(8080));
  EXPECT_EQ(rows[0].remoteAddr, 0u);
  EXPECT_EQ(rows[0].linuxState, 10);
  EXPECT_EQ(rows[0].inode, 4242u);
  EXPECT_EQ(rows[1].localPort, htons(0xD431));
  EXPECT_EQ(rows[1].remoteAddr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(rows[1].remotePort, htons(8080));
  EXPECT_EQ(rows[1].linuxState, 1);
  // Last line without a newline; 0A000001 is how the kernel prints 1.0.0.10.
  EXPECT_EQ(rows[2].localAddr, htonl(0x0100000A));
  EXPECT_EQ(rows[2].localPort, htons(53));
  EXPECT_EQ(rows[2].inode, 0u);
}

TEST(ProcNet, MissingTableIsAFailure) {
  std::vector<InetSocketRow> rows;
  EXPECT_FALSE(ReadProcNetTable("/nonexistent/proc/net/tcp", &rows));
  EXPECT_TRUE(ReadProcNetTable("/proc/net/tcp", &rows));
}

TEST(SocketOwner, LinkTextsOtherThanSocketsGiveNoInode) {
  auto inode = [](const std::string& text) { return SocketInodeOfLink(text.data(), text.size()); };
  EXPECT_EQ(inode("socket:[12345]"), 12345u);
  EXPECT_EQ(inode("socket:[]"), 0u);
  EXPECT_EQ(inode("socket:[12"), 0u);
  EXPECT_EQ(inode("socket:[1a]"), 0u);
  EXPECT_EQ(inode("pipe:[12345]"), 0u);
  EXPECT_EQ(inode("/dev/null"), 0u);
  EXPECT_EQ(inode("socket:[99999999999999999999999]"), 0u);
}

TEST(SocketOwner, FindsOwnersInAProcessTree) {
  test_support::TempDir root;
  namespace fs = std::filesystem;
  auto link = [&](const std::string& pid, const std::string& fd, const std::string& target) {
    fs::create_directories(fs::path(root.path()) / pid / "fd");
    fs::create_symlink(target, fs::path(root.path()) / pid / "fd" / fd);
  };
  link("120", "0", "/dev/null");
  link("120", "3", "socket:[777]");
  link("456", "9", "socket:[888]");
  link("self", "4", "socket:[999]");  // not a process id: ignored
  link("0", "4", "socket:[999]");
  fs::create_directories(fs::path(root.path()) / "789");  // no fd folder

  SocketOwner owners(root.path());
  owners.Find({777, 888, 999, 0, 555});
  EXPECT_EQ(owners.OwnerOf(777), 120u);
  EXPECT_EQ(owners.OwnerOf(888), 456u);
  EXPECT_EQ(owners.OwnerOf(999), 0u);
  EXPECT_EQ(owners.OwnerOf(555), 0u);
  owners.Find({888});
  EXPECT_EQ(owners.OwnerOf(777), 0u) << "each Find replaces the previous answer";
  EXPECT_EQ(owners.OwnerOf(888), 456u);
}

}  // namespace
}  // namespace qxfw::monitor
