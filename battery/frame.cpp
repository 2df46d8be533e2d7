#include "battery/frame.h"

#include "battery/byte_order.h"

namespace frame {

unsigned char Checksum(const unsigned char* data, int len) {
  unsigned char sum = 0;
  for (int i = 0; i < len; ++i) sum = static_cast<unsigned char>(sum + data[i]);
  return static_cast<unsigned char>(sum % 254);
}

std::array<unsigned char, kRequestLen> BuildRequest(unsigned char addr, unsigned char command) {
  std::array<unsigned char, kRequestLen> req{kRequestStart, kRequestStart, addr, command, 0};
  req[kRequestChecksum] = Checksum(&req[kRequestAddr], 2);
  return req;
}

bool ParseShortReply(const unsigned char* buf, unsigned char addr, std::uint16_t* raw) {
  if (buf[0] != kReplyStart || buf[kReplyAddr] != addr) return false;
  if (Checksum(buf + kReplyAddr, 3) != buf[kShortReplyChecksum]) return false;
  *raw = byte_order::ReadBe16(buf + kShortReplyValue);
  return true;
}

}  // namespace frame
