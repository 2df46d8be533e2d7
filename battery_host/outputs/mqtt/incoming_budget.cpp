#include "battery_host/outputs/mqtt/incoming_budget.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

namespace mqtt {

IncomingBudget::IncomingBudget(bool tls, int qos, int keepalive_s, Clock::time_point now)
    : per_message_(static_cast<std::int64_t>(qos) * (tls ? kTlsPacket : 4)),
      per_keepalive_(tls ? kTlsPacket : 2),
      keepalive_(std::chrono::seconds(std::max(keepalive_s, 1))),
      credited_to_(now) {}

void IncomingBudget::Sent() { allowance_ += per_message_; }

bool IncomingBudget::Check(std::uint64_t received, Clock::time_point now, std::string* error) {
  while (now - credited_to_ >= keepalive_) {
    allowance_ += per_keepalive_;
    credited_to_ += keepalive_;
  }
  if (received > counted_) {
    allowance_ -= static_cast<std::int64_t>(received - counted_);
    counted_ = received;
  }
  if (allowance_ < 0) {
    *error = "the broker sent " + std::to_string(-allowance_) +
             " bytes more than a client that only publishes is owed (a broken or hostile "
             "broker)";
    return false;
  }
  // Credit unused for long (acknowledgements that never came) does not pile up.
  allowance_ = std::min(allowance_, kMaxHeadroom);
  return true;
}

bool ReceivedBytes(int socket_fd, std::uint64_t* received) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(socket_fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    return false;
  }
  *received = info.tcpi_bytes_received;
  return true;
}

}  // namespace mqtt
