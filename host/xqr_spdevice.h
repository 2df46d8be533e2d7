#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/api.h"
#include "host/xqr_vdevice.h"

class XQRPort;

// A device behind a serial port. The host owns the port, reads it, and hands every chunk it reads
// to process(); SendData writes a frame to the port.
class XQR_API XQRSPDevice : public XQRVDevice {
 public:
  static constexpr unsigned int kMsgBufSize = 256;

  XQRSPDevice();
  ~XQRSPDevice() override;

  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, unsigned int len);
  virtual int SendParityData(const unsigned char* data, unsigned int len, int parity);
  virtual bool OpenPort(const std::string& path);
  virtual void ClosePort();

  int Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
           const Json::Value& settings) override;
  void Reset() override;

  // Host side: where SendData writes. Without a port, frames are dropped.
  void AttachPort(std::shared_ptr<XQRPort> port) { port_ = std::move(port); }

  // Host side of a shared line. The host's poll tick and receive callback go through these (they
  // call RefreshStatus and process), so that the framework knows whether the device has a request
  // on the wire that it is waiting to have answered (IsProcessing) and whether its module has
  // stopped answering (IsStalled): on a half-duplex bus only one device may wait at a time.
  int HostPollTick();
  int HostReceive(unsigned char* data, unsigned int len);
  // The device's turn on the line is over without the round being done: `silent` when the line
  // stayed quiet for the reply timeout (the module did not answer), false when the host ends it
  // for another reason (the device threw). Its request is given up for this turn; the device's
  // own re-send rules take it up again on its next poll tick.
  void HostTurnOver(bool silent);

  // Turns in a row that ended in silence before IsStalled() holds: a device gives a round four
  // poll ticks before it starts a new one.
  static constexpr unsigned int kStallTurns = 4;

  std::uint8_t addr_ = 0;
  unsigned char msg_buf[kMsgBufSize] = {};
  unsigned int msg_len_ = 0;
  int baud_rate_ = 9600;

 protected:
  std::shared_ptr<XQRPort> port_;
  unsigned int resets_ = 0;  // host bookkeeping: Reset calls
  bool awaiting_reply_ = false;     // a request went out and process() has not finished with it
  unsigned int silent_turns_ = 0;   // turns in a row that ended in silence
};
