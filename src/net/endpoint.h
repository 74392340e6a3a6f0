// The UDP endpoint: the five socket operations of a run. Each prints its own
// failure line on standard output; closing the socket is the caller's job.
#pragma once

#include <cstdint>

#include "frame/frame.h"
#include "net/platform.h"

constexpr const char* DEVICE_ADDRESS = "192.168.0.254";
constexpr std::uint16_t DEVICE_PORT = 2639;
constexpr std::uint16_t LOCAL_PORT = 0;
constexpr int ADDRESS_LENGTH = static_cast<int>(sizeof(sockaddr_in));

// Gives the new IPv4 datagram socket, or INVALID_SOCKET.
socket_handle open_socket();

// Each of these gives 1 on success and 0 on failure.
int enable_broadcast(socket_handle s);
// Binds to `port` (0: any) and reads the bound address back into `local`.
// A run assigned the device's own port as local port ends in failure.
int bind_local(socket_handle s, sockaddr_in* local, std::uint16_t port);
// Sends the zero-terminated frame, without its terminator, in one datagram.
int send_frame(socket_handle s, const unsigned char* frame, sockaddr_in destination);
// Waits for one datagram of up to REPLY_CAPACITY bytes; an interrupted wait
// counts as an empty reply.
int receive_reply(socket_handle s, unsigned char* reply);
