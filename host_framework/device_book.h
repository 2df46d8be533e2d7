#pragma once

#include <memory>

#include "host/xqr_spdevice.h"
#include "host/xqr_vdevice.h"
#include "host_framework/alarm_engine.h"

class XQRController;
class XQRPort;

namespace host_framework {

// What the framework keeps of each device beside the device object: the device classes carry
// only the members a device library is compiled against, so everything of the framework's own
// (whom to ask for peers, where frames go, counters, the alarm engine's memory) is kept here,
// keyed by the device. An entry lives from the device's construction to its destruction.
struct DeviceBook {
  std::weak_ptr<XQRController> controller;
  std::shared_ptr<XQRPort> port;   // where SendData writes; without one frames are dropped
  unsigned int refreshes = 0;      // RefreshStatus calls: rounds the device has begun
  unsigned int history_saves = 0;  // SaveDeviceHistory calls: rounds completed
  unsigned int resets = 0;         // Reset calls
  bool awaiting_reply = false;     // a request went out and process() has not finished with it
  unsigned int silent_turns = 0;   // turns in a row that ended in silence
  AlarmMemory alarms;
};

// The entry of a device, made on first use. The host calls a device's operations one at a time,
// so an entry needs no lock of its own.
DeviceBook& BookOf(const XQRVDevice& device);
// Drops the entry; XQRVDevice's destructor calls it.
void CloseBook(const XQRVDevice& device);

// The host's side of a serial device on a shared line. The host's poll tick and receive callback
// go through these (they call RefreshStatus and process), so that the framework knows whether the
// device has a request on the wire that it waits to have answered (IsProcessing) and whether its
// module has stopped answering (IsStalled): on a half-duplex bus only one device may wait at a
// time.

// Turns in a row that ended in silence before IsStalled() holds: a device gives a round four
// poll ticks before it starts a new one.
constexpr unsigned int kStallTurns = 4;

void AttachPort(XQRSPDevice& device, std::shared_ptr<XQRPort> port);
int PollTick(XQRSPDevice& device);
int ReceiveBytes(XQRSPDevice& device, unsigned char* data, unsigned int len);
// The device's turn on the line is over without the round being done: `silent` when the line
// stayed quiet for the reply timeout (the module did not answer), false when the host ends it
// for another reason (the device threw). Its request is given up for this turn; the device's own
// re-send rules take it up again on its next poll tick.
void TurnOver(XQRSPDevice& device, bool silent);

// Rounds the device has begun (it calls the framework's RefreshStatus before the first request
// of every round) and records saved as history (one per completed round).
unsigned int RoundsStarted(const XQRVDevice& device);
unsigned int HistorySaves(const XQRVDevice& device);

}  // namespace host_framework
