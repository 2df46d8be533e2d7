#include "host_framework/device_book.h"

#include <mutex>
#include <unordered_map>

#include "host_framework/xqr_port.h"

namespace host_framework {

namespace {

// Devices are made and destroyed on any of the host's threads; the table itself is guarded, an
// entry is used only by whoever calls its device. Nodes of an unordered_map do not move, so a
// reference stays good until its device is destroyed.
struct Books {
  std::mutex mutex;
  std::unordered_map<const XQRVDevice*, DeviceBook> by_device;
};

Books& AllBooks() {
  static Books* books = new Books;  // never destroyed: devices may outlive static destruction
  return *books;
}

}  // namespace

DeviceBook& BookOf(const XQRVDevice& device) {
  Books& books = AllBooks();
  std::lock_guard<std::mutex> lock(books.mutex);
  return books.by_device[&device];
}

void CloseBook(const XQRVDevice& device) {
  Books& books = AllBooks();
  std::lock_guard<std::mutex> lock(books.mutex);
  books.by_device.erase(&device);
}

void AttachPort(XQRSPDevice& device, std::shared_ptr<XQRPort> port) {
  BookOf(device).port = std::move(port);
}

int PollTick(XQRSPDevice& device) {
  BookOf(device).awaiting_reply = false;
  return device.RefreshStatus();
}

int ReceiveBytes(XQRSPDevice& device, unsigned char* data, unsigned int len) {
  DeviceBook& book = BookOf(device);
  book.silent_turns = 0;
  // process() may send the next request of the round (awaiting a reply again) and returns 0 once
  // the round is done or abandoned.
  const int more = device.process(data, len);
  if (more == 0) book.awaiting_reply = false;
  return more;
}

void TurnOver(XQRSPDevice& device, bool silent) {
  DeviceBook& book = BookOf(device);
  book.awaiting_reply = false;
  if (silent) ++book.silent_turns;
}

unsigned int RoundsStarted(const XQRVDevice& device) { return BookOf(device).refreshes; }
unsigned int HistorySaves(const XQRVDevice& device) { return BookOf(device).history_saves; }

}  // namespace host_framework
