// A stand-in for the firewall program in the daemon benchmark: opens the device, wakes on the
// network event and allows every request.
//   allow_all_client SOCKET_PATH
#include <cstdio>
#include <string>

#include "firewall/device_client.h"
#include "firewall/device_protocol.h"
#include "platform/named_event.h"

using namespace qxfw::firewall;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  DeviceClient client;
  if (client.Open(argv[1]) != kStatusSuccess) return 1;
  // The daemon's events are in the folder of its device.
  std::string socket = argv[1];
  std::string folder =
      socket.find('/') == std::string::npos ? "." : socket.substr(0, socket.rfind('/'));
  auto event = qxfw::platform::NamedEventHandle::Open(
      kNetworkNotifyEventName, qxfw::platform::EventScope::kSystem, nullptr, folder);
  if (event == nullptr) return 1;
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    if (event->Wait(100) == qxfw::platform::WaitResult::kGone) return 0;
    for (;;) {
      CNETWORK_REQUEST request{};
      uint32_t got = 0;
      if (client.Call(IOCTL_GET_NETWORK_REQUEST, &request, sizeof(request), &request,
                      sizeof(request), &got) != kStatusSuccess ||
          got != sizeof(request)) {
        break;
      }
      tagVERDICT verdict{request.requestHandle, kVerdictAllow};
      client.Call(IOCTL_SET_VERDICT, &verdict, sizeof(verdict), nullptr, 0, &got);
    }
  }
}
