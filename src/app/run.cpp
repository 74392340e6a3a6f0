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

// A completed exchange whose report could not be written in full is a
// failure: the operator has not seen it.
int completed(int shown) { return shown ? RUN_COMPLETED : RUN_FAILED; }

// Steps after the socket exists; the caller closes it whatever this gives.
int exchange(socket_handle s, const unsigned char* message, const unsigned char* frame,
             sockaddr_in destination) {
  sockaddr_in local{};
  unsigned char reply[REPLY_CAPACITY] = {};
  if (!enable_broadcast(s) || !bind_local(s, &local, LOCAL_PORT) ||
      !send_frame(s, frame, destination)) {
    return RUN_FAILED;
  }
  int shown = print_opening(message, DEVICE_PORT, DEVICE_ADDRESS);
  if (!expects_reply(frame)) {
    shown &= print_no_reply();
    shown &= print_closing();
    return completed(shown);
  }
  if (!receive_reply(s, reply)) {
    return RUN_FAILED;
  }
  shown &= print_reply(ntohs(local.sin_port), reply);
  shown &= print_closing();
  return completed(shown);
}

}  // namespace

int run_exchange(int argc, char** argv) {
  unsigned char message[MESSAGE_CAPACITY] = {};
  unsigned char frame[FRAME_CAPACITY] = {};
  const sockaddr_in destination = device_record();
  // With no standard output there is nowhere to report to: nothing is sent.
  if (!platform::console_open()) {
    return RUN_FAILED;
  }
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
