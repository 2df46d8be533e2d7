#pragma once

#include <array>
#include <cstdint>

// The battery-monitoring module's serial frames.
//
// Request, device to module, 5 bytes:
//   FE FE <addr> <command> <checksum over addr and command>
// Short reply (group voltage, current, temperature), module to device, 5 bytes:
//   ED <addr> <value high> <value low> <checksum over addr and value>
// Cell-voltage reply, module to device, 67 bytes:
//   ED <addr> <32 readings, big-endian 16-bit> <checksum over addr and the 64 reading bytes>
// Replies carry no command code: the device knows which one it awaits.
namespace frame {

constexpr unsigned char kRequestStart = 0xFE;
constexpr unsigned char kReplyStart = 0xED;

constexpr unsigned char kCmdCellVoltages = 0xA1;
constexpr unsigned char kCmdGroupVoltage = 0xA2;
constexpr unsigned char kCmdCurrent = 0xA3;
constexpr unsigned char kCmdTemperature = 0xA4;

constexpr unsigned int kRequestLen = 5;
constexpr unsigned int kRequestAddr = 2;
constexpr unsigned int kRequestCommand = 3;
constexpr unsigned int kRequestChecksum = 4;

constexpr unsigned int kShortReplyLen = 5;
constexpr unsigned int kReplyAddr = 1;
constexpr unsigned int kShortReplyValue = 2;
constexpr unsigned int kShortReplyChecksum = 4;

constexpr unsigned int kCellReplyLen = 67;
constexpr unsigned int kCellReadings = 2;  // first reading's high byte
constexpr unsigned int kCellReadingCount = 32;
constexpr unsigned int kCellChecksum = 66;
constexpr unsigned int kCellChecksummedLen = 65;  // address and 64 reading bytes

// The device never holds more than this many received bytes.
constexpr unsigned int kReceiveCapacity = 80;

// 8-bit sum of the bytes, then modulo 254: sums 254 and 255 become 0 and 1.
unsigned char Checksum(const unsigned char* data, int len);

std::array<unsigned char, kRequestLen> BuildRequest(unsigned char addr, unsigned char command);

// Checks start byte, address and checksum of the 5 bytes at buf; on success stores the value.
bool ParseShortReply(const unsigned char* buf, unsigned char addr, std::uint16_t* raw);

}  // namespace frame
