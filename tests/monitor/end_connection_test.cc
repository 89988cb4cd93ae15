// Ends real loopback connections through the kernel; needs root (CAP_NET_ADMIN).
#include <gtest/gtest.h>

#include <errno.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "monitor/loopback_sockets.h"
#include "monitor/port_list.h"
#include "platform/debug_output.h"

namespace qxfw::monitor {
namespace {

TEST(EndConnection, ResetsARealEstablishedConnection) {
  if (geteuid() != 0) GTEST_SKIP() << "ending connections needs root (CAP_NET_ADMIN)";
  auto connection = test_support::ConnectLoopback();
  ASSERT_TRUE(connection.Valid());
  auto& [listener, client, server, serverPort, clientPort] = connection;

  platform::ScopedDebugCapture capture;
  CPortList list(true, nullptr, CPortList::Road::kUnchosen);
  ASSERT_TRUE(list.EndConnection("127.0.0.1", serverPort, "127.0.0.1", clientPort));
  EXPECT_TRUE(capture.Lines().empty());

  // The peer sees the reset; the ended end reports the abort.
  timeval wait{2, 0};
  setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  char byte;
  EXPECT_EQ(recv(client.Get(), &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(send(server.Get(), "x", 1, MSG_NOSIGNAL), -1);

  list.Refresh();
  bool stillListed = false;
  while (list.MoveNext()) {
    stillListed |= list.LocalPort() == serverPort && list.RemotePort() == clientPort;
  }
  EXPECT_FALSE(stillListed);
  // The listener itself is untouched and still accepts.
  auto again = test_support::TcpConnect(serverPort);
  EXPECT_TRUE(again.Valid());
  EXPECT_TRUE(test_support::TcpAccept(listener.Get()).Valid());
}

}  // namespace
}  // namespace qxfw::monitor
