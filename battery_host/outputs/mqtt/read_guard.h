#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace mqtt {

// Watches a TCP socket while the client library reads from it, and cuts it off once a byte
// limit has come in. libmosquitto reads a packet into a buffer of the length the packet
// declares, and keeps reading as long as bytes keep coming: a broker streaming a huge packet
// would be read for as long as it sends, before the caller could look at the count again.
//
// Cutting off puts /dev/null on the socket's descriptor (dup3, atomic): the library's next read
// sees the end of the connection and it stops, the TCP connection is closed, and the descriptor
// number stays the library's to close.
class ReadGuard {
 public:
  ReadGuard();
  ~ReadGuard();
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;

  // Around one read call: from Begin to End the socket is looked at every millisecond.
  void Begin(int socket_fd, std::uint64_t limit);
  // True when the socket was cut off; *received is then the count that went past the limit.
  // After End the guard no longer touches the descriptor.
  bool End(std::uint64_t* received);

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable armed_;
  bool quit_ = false;
  int fd_ = -1;  // >= 0 while armed
  // The socket's identity: libmosquitto may close it inside the read, and the number may then
  // name another file of the host's before End().
  unsigned long long dev_ = 0, ino_ = 0;
  std::uint64_t limit_ = 0;
  bool cut_ = false;
  std::uint64_t cut_at_ = 0;
  int null_fd_ = -1;
  std::thread thread_;
};

}  // namespace mqtt
