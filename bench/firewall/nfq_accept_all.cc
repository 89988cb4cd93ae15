// The floor of the design: an NFQUEUE program that accepts every packet at once.
//   nfq_accept_all QUEUE
#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace {

int Accept(nfq_q_handle* queue, nfgenmsg*, nfq_data* data, void*) {
  nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
  if (header != nullptr) nfq_set_verdict(queue, ntohl(header->packet_id), NF_ACCEPT, 0, nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  nfq_handle* handle = nfq_open();
  if (handle == nullptr) return 1;
  nfq_q_handle* queue = nfq_create_queue(handle, std::atoi(argv[1]), &Accept, nullptr);
  if (queue == nullptr || nfq_set_mode(queue, NFQNL_COPY_PACKET, 128) < 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  alignas(8) static char buffer[65536];
  for (;;) {
    ssize_t n = recv(nfq_fd(handle), buffer, sizeof(buffer), 0);
    if (n > 0) nfq_handle_packet(handle, buffer, static_cast<int>(n));
  }
}
