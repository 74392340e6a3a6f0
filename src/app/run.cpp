#include "app/run.h"

#include "app/report.h"
#include "frame/frame.h"
#include "net/endpoint.h"

namespace {

sockaddr_in device_record() {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = inet_addr(DEVICE_ADDRESS);
  destination.sin_port = htons(DEVICE_PORT);
  return destination;
}

// Steps after the socket exists; the caller closes it whatever this gives.
int exchange(socket_handle s, const unsigned char* message, const unsigned char* frame,
             sockaddr_in destination) {
  sockaddr_in local{};
  unsigned char reply[REPLY_CAPACITY] = {};
  if (!enable_broadcast(s) || !bind_local(s, &local, LOCAL_PORT) ||
      !send_frame(s, frame, destination)) {
    return RUN_FAILED;
  }
  print_opening(message, DEVICE_PORT, DEVICE_ADDRESS);
  if (!expects_reply(frame)) {
    print_no_reply();
    print_closing();
    return RUN_COMPLETED;
  }
  if (!receive_reply(s, reply)) {
    return RUN_FAILED;
  }
  print_reply(ntohs(local.sin_port), reply);
  print_closing();
  return RUN_COMPLETED;
}

}  // namespace

int run_exchange(int argc, char** argv) {
  unsigned char message[MESSAGE_CAPACITY] = {};
  unsigned char frame[FRAME_CAPACITY] = {};
  const sockaddr_in destination = device_record();
  if (argc < 2 || argv[1] == nullptr) {
    print_usage();
    return RUN_FAILED;
  }
  // A command is never cut short: a shortened one could mean something else.
  if (!copy_message(message, argv[1])) {
    print_too_long();
    return RUN_FAILED;
  }
  substitute_apostrophes(message);
  if (!build_frame(message, frame)) {
    print_too_long();
    return RUN_FAILED;
  }
  platform::WSAStartup();
  const socket_handle s = open_socket();
  if (s == INVALID_SOCKET) {
    return RUN_FAILED;
  }
  const int status = exchange(s, message, frame, destination);
  platform::closesocket(s);
  return status;
}
