#include "host/xqr_spdevice.h"

#include <stdexcept>
#include <string>

#include <json/json.h>

#include "host_framework/device_book.h"
#include "host_framework/xqr_port.h"

namespace {

// A settings value as one line of JSON, cut to a length that still reads as one error line.
std::string ShortJsonText(const Json::Value& value) {
  constexpr std::size_t kMaxChars = 64;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";  // no line breaks; line breaks inside strings are escaped
  std::string text = Json::writeString(writer, value);
  if (text.size() > kMaxChars) {
    text.resize(kMaxChars - 3);
    text += "...";
  }
  return text;
}

// The bus address is one byte on the line; a whole JSON number outside it, a fraction or
// anything that is not a number is a settings mistake, not an address.
std::uint8_t BusAddress(const Json::Value& address) {
  if (!address.isIntegral() || address.asDouble() < 0.0 || address.asDouble() > 255.0) {
    throw std::invalid_argument("\"address\" must be a whole number 0..255, not " +
                                ShortJsonText(address));
  }
  return static_cast<std::uint8_t>(address.asUInt());
}

}  // namespace

XQRPort::~XQRPort() = default;

XQRSPDevice::XQRSPDevice() = default;
XQRSPDevice::~XQRSPDevice() = default;

// A request is on the wire and the device is still working through its answer.
bool XQRSPDevice::IsProcessing() const { return host_framework::BookOf(*this).awaiting_reply; }
bool XQRSPDevice::IsStalled() const {
  return host_framework::BookOf(*this).silent_turns >= host_framework::kStallTurns;
}

int XQRSPDevice::SendData(const unsigned char* data, unsigned int len) {
  host_framework::DeviceBook& book = host_framework::BookOf(*this);
  if (!book.port) return -1;
  const int written = book.port->Write(data, len);
  // A frame the line did not take cannot be answered: nothing to wait for.
  book.awaiting_reply = written > 0;
  return written;
}

int XQRSPDevice::SendParityData(const unsigned char* data, unsigned int len, int parity) {
  (void)parity;
  return SendData(data, len);
}

bool XQRSPDevice::OpenPort(const std::string& path) {
  (void)path;
  return host_framework::BookOf(*this).port != nullptr;
}

void XQRSPDevice::ClosePort() { host_framework::BookOf(*this).port.reset(); }

// The host takes the bus address from the device's settings ("address"), before InitSetting.
// Missing or null: addr_ stays as the host set it. Anything but 0..255 is refused before the
// device is touched.
int XQRSPDevice::Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                      const Json::Value& settings) {
  const Json::Value& address =
      settings.isObject() ? settings["address"] : Json::Value::nullSingleton();
  const std::uint8_t bus_address = address.isNull() ? addr_ : BusAddress(address);
  XQRVDevice::Init(std::move(controller), data_id, settings);
  addr_ = bus_address;
  msg_len_ = 0;
  return 1;
}

void XQRSPDevice::Reset() {
  ++host_framework::BookOf(*this).resets;
  XQRVDevice::Reset();
}
