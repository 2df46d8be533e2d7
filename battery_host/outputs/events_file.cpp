#include "battery_host/outputs/events_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "battery_host/support/input_file.h"
#include "battery_host/outputs/json_text.h"
#include "battery_host/outputs/string_round.h"

namespace outputs {

std::unique_ptr<EventsFile> EventsFile::Open(const std::string& path, bool fresh,
                                             std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *error = "events file " + path + " is " + support::KindOfNonRegular(st.st_mode) +
             ", not a regular file";
    return nullptr;
  }
  // O_NONBLOCK keeps a FIFO put there since from holding the host; it is refused just below.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open events file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "events file " + path + " is " + support::KindOfNonRegular(st.st_mode) +
             ", not a regular file";
    close(fd);
    return nullptr;
  }
  if (fresh && ftruncate(fd, 0) != 0) {
    *error = "cannot start events file " + path + " anew: " + std::strerror(errno);
    close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, O_APPEND);  // a regular file: plain blocking writes are what is meant
  return std::unique_ptr<EventsFile>(new EventsFile(path, fd));
}

EventsFile::~EventsFile() {
  if (fd_ >= 0) close(fd_);
}

void EventsFile::Start(const std::vector<DeviceInfo>& devices, const NoticeFn& notice) {
  notice_ = notice;
  devices_ = devices;
}

namespace {

const char* KindName(EventKind kind) {
  switch (kind) {
    case EventKind::kTx:
      return "tx";
    case EventKind::kRx:
      return "rx";
    case EventKind::kSend:
      return "send";
    case EventKind::kHistory:
      return "history";
    case EventKind::kRestore:
      return "restore";
    case EventKind::kThreshold:
      return "threshold";
    case EventKind::kAlarm:
      return "alarm";
    case EventKind::kPort:
      return "port";
    case EventKind::kTurnEnd:
      return "turn";
  }
  return "?";
}

std::string HexOf(const HostEvent& e) { return HexText(e.bytes.data(), e.bytes.size()); }

// A rule's value: null for a cell outside the device's window, which is no reading.
void PutRuleValue(Json::Value& v, const HostEvent& e, const DeviceInfo* device) {
  const CellWindow window = CellWindowFor(device ? device->battery_type : 0);
  if (CellPositionOfKey(e.rule.key) >= 0 && !window.Holds(e.rule.value)) {
    v["value"] = Json::Value(Json::nullValue);
    v["window"] = WindowText(window);
  } else {
    v["value"] = JsonFloatValue(e.rule.value);
  }
}

}  // namespace

Json::Value EventsFile::EventJson(const HostEvent& e, const DeviceInfo* device) {
  Json::Value v(Json::objectValue);
  v["event"] = KindName(e.kind);
  v["data_id"] = e.data_id;
  v["time"] = JsonTimeText(e.at);
  switch (e.kind) {
    case EventKind::kTx:
      v["bytes"] = HexOf(e);
      break;
    case EventKind::kRx:
      v["bytes"] = HexOf(e);
      if (e.outside_turn) v["outside_turn"] = true;
      if (!e.detail.empty()) v["discarded"] = e.detail;  // "stale" or "guard"
      break;
    case EventKind::kSend:
      v["code"] = e.code;
      v["record"] = HexOf(e);
      break;
    case EventKind::kHistory:
    case EventKind::kRestore:
      v["record"] = HexOf(e);
      break;
    case EventKind::kThreshold:
      v["key"] = e.rule.key;
      v["label"] = e.rule.label;
      PutRuleValue(v, e, device);
      v["index"] = e.rule.index;
      break;
    case EventKind::kAlarm:
      v["state"] = e.raised ? "raised" : "cleared";
      v["key"] = e.rule.key;
      v["label"] = e.rule.label;
      PutRuleValue(v, e, device);
      v["limit"] = JsonFloatValue(e.rule.limit);
      v["text"] = AlarmText(device ? *device : DeviceInfo{}, e.rule.key, e.rule.label, e.rule.value,
                            e.rule.limit);
      break;
    case EventKind::kPort:
      v["state"] = e.state;
      v["path"] = e.path;
      v["detail"] = e.detail;
      break;
    case EventKind::kTurnEnd:
      v["rounds_started"] = Json::UInt64(e.status.rounds_started);
      v["rounds_completed"] = Json::UInt64(e.status.rounds_completed);
      v["rounds_abandoned"] = Json::UInt64(e.status.rounds_abandoned);
      v["stalled"] = e.status.stalled;
      break;
  }
  return v;
}

bool EventsFile::WriteWhole(const std::string& line, std::string* why) {
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  const off_t start = st.st_size;  // one writer: the line will begin here
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = n < 0 ? std::strerror(errno) : "nothing written";
      // Take back the part that did get in, so that no torn line is left behind.
      if (done > 0 && ftruncate(fd_, start) != 0) *why += " (and the torn line stays)";
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void EventsFile::Take(const HostEvent& event) {
  const DeviceInfo* device = nullptr;
  for (const DeviceInfo& d : devices_) {
    if (d.data_id == event.data_id) device = &d;
  }
  const std::string line = JsonLine(EventJson(event, device)) + "\n";
  std::string why;
  if (WriteWhole(line, &why)) {
    // At a size limit a short line may still fit where a longer one did not: the trouble is over
    // only once a line as long as the one refused gets in, so that it is not told again and
    // again.
    if (line.size() >= refused_size_ && cannot_write_.Over() && notice_) {
      notice_({"events file " + path_ + ": writing again; " + std::to_string(dropped_) +
                   " events were not written",
               NoticeKind::kOver});
    }
    return;
  }
  ++dropped_;
  if (!cannot_write_.said() || line.size() < refused_size_) refused_size_ = line.size();
  if (cannot_write_.Begin() && notice_) {
    notice_("events file " + path_ + ": cannot write: " + why +
            "; events are dropped until it can be written again");
  }
}

}  // namespace outputs
