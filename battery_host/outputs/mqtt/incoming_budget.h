#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace mqtt {

// What a broker may send a client that only publishes, and never subscribes: CONNACK, one
// acknowledgement per QoS 1 message (PUBACK, 4 bytes; QoS 2: PUBREC and PUBCOMP), and PINGRESP
// (2 bytes) per keepalive. libmosquitto takes a packet's declared length (up to 256 MiB) at its
// word and reads into a buffer of that size, so a broken or hostile broker could make the host
// hold hundreds of megabytes. This account caps what the connection may bring in beyond what
// it is owed; the link drops a connection that goes past it.
//
// Plain TCP is counted to the byte. Over TLS each packet comes in a record of its own (header,
// nonce, tag: at most 64 bytes for a 4-byte packet), and the handshake needs room: the slack
// covers it.
class IncomingBudget {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::int64_t kSlack = 64 * 1024;         // the handshake, CONNACK
  static constexpr std::int64_t kMaxHeadroom = 128 * 1024;  // credit never saved beyond this
  static constexpr std::int64_t kTlsPacket = 64;            // one small packet in a TLS record

  IncomingBudget(bool tls, int qos, int keepalive_s, Clock::time_point now);

  // One message handed to the client library: what its acknowledgement may cost.
  void Sent();
  // `received`: every byte the connection has brought in so far (read or not). False when that
  // is more than was owed; *error says so in one line.
  bool Check(std::uint64_t received, Clock::time_point now, std::string* error);
  // The count past which the last Check would have failed.
  std::uint64_t Limit() const { return counted_ + static_cast<std::uint64_t>(allowance_); }

 private:
  std::int64_t per_message_;
  std::int64_t per_keepalive_;
  Clock::duration keepalive_;
  Clock::time_point credited_to_;
  std::int64_t allowance_ = kSlack;
  std::uint64_t counted_ = 0;
};

// Bytes the kernel has received on a connected TCP socket, read by the client or not (Linux
// TCP_INFO). False when the kernel does not say.
bool ReceivedBytes(int socket_fd, std::uint64_t* received);

}  // namespace mqtt
