#include "battery_host/outputs/mqtt/mqtt_output.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "battery_host/outputs/mqtt/broker_url.h"
#include "battery_host/outputs/mqtt/credentials_file.h"
#include "battery_host/outputs/mqtt/latest_state.h"
#include "battery_host/outputs/mqtt/mosquitto_link.h"
#include "battery_host/outputs/mqtt/payloads.h"
#include "battery_host/outputs/mqtt/topics.h"
#include "battery_host/support/input_file.h"
#include "battery_host/outputs/string_record.h"
#include "battery_host/outputs/string_round.h"

namespace mqtt {

int RetryDelayMs(int attempt, int min_ms, int max_ms) {
  long long delay = std::max(min_ms, 1);
  for (int i = 0; i < attempt && delay < max_ms; ++i) delay *= 2;
  return static_cast<int>(std::min<long long>(delay, max_ms));
}

namespace {

using Clock = std::chrono::steady_clock;

// More than a whole site's discovery: past this many unacknowledged messages the broker is not
// keeping up, and new rounds wait in LatestState (replacing each other) instead of in
// libmosquitto's queue.
constexpr std::size_t kMaxInFlight = 512;

// The output: Take() on the poll thread records the latest values and wakes the output's own
// thread, which owns the libmosquitto client, connects, publishes and reconnects. Nothing the
// poll thread does waits for the network.
class MqttOutput : public outputs::Output {
 public:
  MqttOutput(const MqttOptions& options, const LinkConfig& link, std::string warning)
      : options_(options),
        link_config_(link),
        warning_(std::move(warning)),
        topics_(SitePrefix(options.prefix, options.site), options.discovery_prefix),
        broker_(BrokerText(link.url)) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  }

  ~MqttOutput() override {
    Stop();
    if (wake_fd_ >= 0) close(wake_fd_);
  }

  bool ready() const { return wake_fd_ >= 0; }

  void Start(const std::vector<outputs::DeviceInfo>& devices,
             const outputs::NoticeFn& notice) override {
    if (worker_.joinable()) return;
    notice_ = notice;
    state_ = std::make_unique<LatestState>(devices);
    const HostInfo host{options_.host_version};
    if (topics_.discovery()) discovery_.push_back(BridgeDiscovery(topics_, host));
    for (const outputs::DeviceInfo& d : devices) {
      names_.emplace(d.data_id, d.name.empty() ? "string " + std::to_string(d.data_id) : d.name);
      devices_.emplace(d.data_id, d);
      for (Message& m : DiscoveryMessages(d, topics_, host)) discovery_.push_back(std::move(m));
    }
    if (!warning_.empty()) Notice(warning_);
    worker_ = std::thread([this] { Run(); });
  }

  void Take(const outputs::HostEvent& event) override {
    if (state_ && state_->Take(event)) Wake();
  }

  void Stop() override {
    if (!worker_.joinable()) return;
    stopping_ = true;
    Wake();
    worker_.join();
  }

 private:
  enum class Phase { kWaiting, kConnecting, kOnline };
  enum class BrokerTrouble { kNone, kUnreachable, kNoAnswer, kRefused, kLost };

  void Wake() {
    const std::uint64_t one = 1;
    // Non-blocking: a counter that is already non-zero wakes the thread just the same.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
  }

  void Notice(const std::string& text, outputs::NoticeKind kind = outputs::NoticeKind::kTrouble) {
    if (notice_) notice_({"mqtt: " + text, kind});
  }

  // One notice when a trouble begins, none while it goes on; a refusal is told even in the
  // middle of an outage, since it is the one the person has to fix.
  void Report(BrokerTrouble kind, const std::string& text) {
    if (trouble_ == BrokerTrouble::kNone || (kind == BrokerTrouble::kRefused && trouble_ != kind)) {
      Notice(text);
    }
    trouble_ = kind;
  }

  void Connected(MosquittoLink& link) {
    if (!ever_connected_) {
      Notice("connected to " + broker_, outputs::NoticeKind::kStartStop);
    } else if (trouble_ != BrokerTrouble::kNone) {
      Notice("connected again to " + broker_, outputs::NoticeKind::kOver);
    }
    ever_connected_ = true;
    trouble_ = BrokerTrouble::kNone;
    link.Publish(topics_.Bridge(), "online", true, nullptr);
    for (const Message& m : discovery_) link.Publish(m.topic, m.payload, m.retain, nullptr);
    state_->set_online(true);
    Publish(link, state_->TakeAll());
  }

  void Publish(MosquittoLink& link, const LatestState::Changes& changes) {
    for (const LatestState::DeviceChanges& d : changes.devices) {
      if (d.availability_changed) {
        link.Publish(topics_.Availability(d.data_id), d.available ? "online" : "offline", true,
                     nullptr);
      }
      for (const auto& alarm : d.alarms) {
        link.Publish(topics_.AlarmState(d.data_id, (*d.keys)[alarm.first]),
                     alarm.second ? "ON" : "OFF", true, nullptr);
      }
      if (d.record_changed) {
        int mid = 0;
        const outputs::StringRound round = outputs::MakeStringRound(
            devices_[d.data_id], outputs::DecodeStringRecord(d.record.data()));
        link.Publish(topics_.State(d.data_id), StatePayload(round), true, &mid);
        state_mid_[d.data_id] = mid;
      }
    }
    for (const LatestState::AlarmEvent& e : changes.events) {
      link.Publish(topics_.AlarmEvents(e.data_id),
                   AlarmPayload(devices_[e.data_id], e.rule, e.raised), false, nullptr);
    }
  }

  void Run();
  void Retry(Phase* phase, std::unique_ptr<MosquittoLink>* link, Clock::time_point* at) {
    link->reset();
    state_mid_.clear();
    *phase = Phase::kWaiting;
    state_->set_online(false);
    *at = Clock::now() + std::chrono::milliseconds(RetryDelayMs(attempt_++, options_.retry_min_ms,
                                                                options_.retry_max_ms));
  }
  // Waits for the socket or a wake-up, at most `timeout`, and lets libmosquitto read, write and
  // keep the connection alive. False when the connection is over.
  bool Pump(MosquittoLink* link, Clock::duration timeout, std::string* error);
  void Close(std::unique_ptr<MosquittoLink> link, Clock::time_point deadline);
  void Finish(std::unique_ptr<MosquittoLink> link, bool online, Clock::time_point deadline);

  const MqttOptions options_;
  const LinkConfig link_config_;
  const std::string warning_;
  const Topics topics_;
  const std::string broker_;
  int wake_fd_ = -1;
  outputs::NoticeFn notice_;
  std::vector<Message> discovery_;
  std::unique_ptr<LatestState> state_;
  std::map<unsigned, std::string> names_;  // data id -> the string's name, for messages
  std::map<unsigned, outputs::DeviceInfo> devices_;
  std::atomic<bool> stopping_{false};
  std::thread worker_;
  // Output thread only.
  BrokerTrouble trouble_ = BrokerTrouble::kNone;
  bool ever_connected_ = false;
  int attempt_ = 0;
  std::map<unsigned, int> state_mid_;  // data id -> its last state message on this link
};

bool MqttOutput::Pump(MosquittoLink* link, Clock::duration timeout, std::string* error) {
  pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
  nfds_t count = 1;
  if (link && link->Socket() >= 0) {
    fds[1].fd = link->Socket();
    fds[1].events = static_cast<short>(POLLIN | (link->WantWrite() ? POLLOUT : 0));
    count = 2;
  }
  // libmosquitto's keepalive wants a look at least once a second.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count();
  const int wait_ms = static_cast<int>(std::clamp<long long>(ms, 0, 1000));
  if (poll(fds, count, wait_ms) < 0 && errno != EINTR) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // not expected; do not spin
  }
  if (fds[0].revents & POLLIN) {
    std::uint64_t drained;
    [[maybe_unused]] ssize_t n = read(wake_fd_, &drained, sizeof drained);
  }
  if (!link) return true;
  const short ready = count == 2 ? fds[1].revents : 0;
  return link->Step((ready & (POLLIN | POLLERR | POLLHUP)) != 0, (ready & POLLOUT) != 0, error);
}

// Connects, publishes and reconnects until Stop(). Then one last call, bounded by
// stop_timeout_ms: what the poll thread left (the last round above all) is published and
// acknowledged before "offline", and a connection still being made is waited for.
void MqttOutput::Run() {
  std::unique_ptr<MosquittoLink> link;
  Phase phase = Phase::kWaiting;
  Clock::time_point at = Clock::now();  // the next attempt, or the CONNACK deadline
  bool last_call = false;
  Clock::time_point stop_by;
  for (;;) {
    std::string error;
    const Clock::time_point now = Clock::now();
    if (stopping_ && !last_call) {
      last_call = true;
      stop_by = now + std::chrono::milliseconds(options_.stop_timeout_ms);
    }
    // At the stop, a connection being made is waited for; after a failed one (unreachable,
    // refused, silent) no new attempt is begun.
    if (last_call && (now >= stop_by || (phase == Phase::kWaiting && attempt_ > 0))) break;
    if (phase == Phase::kWaiting && now >= at) {
      link = MosquittoLink::Make(link_config_, &error);
      if (link && link->Begin(&error)) {
        phase = Phase::kConnecting;
        at = now + std::chrono::milliseconds(options_.connack_timeout_ms);
      } else {
        Report(BrokerTrouble::kUnreachable,
               "cannot reach " + broker_ + ": " + error + "; retrying");
        Retry(&phase, &link, &at);
        continue;
      }
    }
    if (phase == Phase::kConnecting && link->connected()) {
      phase = Phase::kOnline;
      attempt_ = 0;
      Connected(*link);
    }
    if (phase == Phase::kConnecting && now >= at) {
      Report(BrokerTrouble::kNoAnswer, broker_ + " does not answer (no CONNACK within " +
                                           std::to_string(options_.connack_timeout_ms) +
                                           " ms); retrying");
      Retry(&phase, &link, &at);
      continue;
    }
    if (phase == Phase::kOnline && (last_call || link->in_flight() < kMaxInFlight)) {
      Publish(*link, state_->TakeChanges());
      if (last_call && link->in_flight() == 0) break;  // all of it acknowledged
    }
    Clock::duration wait =
        phase == Phase::kOnline ? std::chrono::seconds(1) : std::max(at - now, Clock::duration(0));
    if (last_call) wait = std::min(wait, stop_by - now);
    if (!Pump(link.get(), wait, &error)) {
      if (link->refused() != 0) {
        Report(BrokerTrouble::kRefused, broker_ + " refused the connection: " + error +
                                            " (check --mqtt-credentials); retrying");
      } else if (link->overrun()) {
        Report(BrokerTrouble::kLost,
               "dropped the connection to " + broker_ + ": " + error + "; reconnecting");
      } else if (phase == Phase::kOnline) {
        Report(BrokerTrouble::kLost, "connection to " + broker_ + " lost: " + error +
                                         "; reconnecting, the latest values follow");
      } else {
        Report(BrokerTrouble::kUnreachable,
               "cannot reach " + broker_ + ": " + error + "; retrying");
      }
      Retry(&phase, &link, &at);
    }
  }
  Finish(std::move(link), phase == Phase::kOnline, stop_by);
}

// Says, in one line, which strings' last round the broker has not acknowledged, then leaves.
void MqttOutput::Finish(std::unique_ptr<MosquittoLink> link, bool online,
                        Clock::time_point deadline) {
  std::vector<unsigned> lost = state_->Untaken();
  for (const auto& sent : state_mid_) {
    if (online && !link->Delivered(sent.second)) lost.push_back(sent.first);
  }
  if (online) Close(std::move(link), deadline);
  if (lost.empty()) return;
  std::sort(lost.begin(), lost.end());
  std::string which;
  for (unsigned id : lost) which += (which.empty() ? "" : ", ") + names_[id];
  Notice("stopping: the last round of " + which + " was not delivered to " + broker_ + " (" +
         (online ? "not acknowledged within " + std::to_string(options_.stop_timeout_ms) + " ms"
                 : std::string("not connected")) +
         ")");
}

// A clean end: "offline" retained on the bridge topic (what the last will would have said), then
// DISCONNECT, so that the broker drops the will. Bounded: a broker that stopped reading is left,
// and the socket closed without DISCONNECT makes it send the will instead.
void MqttOutput::Close(std::unique_ptr<MosquittoLink> link, Clock::time_point deadline) {
  std::string error;
  int mid = 0;
  if (Clock::now() >= deadline) return;
  if (!link->Publish(topics_.Bridge(), "offline", true, &mid)) return;
  bool up = true;
  while (up && !link->Delivered(mid) && Clock::now() < deadline) {
    up = Pump(link.get(), deadline - Clock::now(), &error);
  }
  if (!up || !link->Delivered(mid)) return;
  link->Disconnect();
  while (link->Socket() >= 0 && Clock::now() < deadline) {
    if (!Pump(link.get(), deadline - Clock::now(), &error)) break;
  }
}

bool CheckOptions(const MqttOptions& o, std::string* error) {
  if (!CheckPrefix(o.prefix, "--mqtt-prefix", error)) return false;
  if (!CheckSite(o.site, error)) return false;
  if (!o.discovery_prefix.empty() &&
      !CheckPrefix(o.discovery_prefix, "--mqtt-discovery-prefix", error)) {
    return false;
  }
  if (o.qos < 0 || o.qos > 2) {
    *error = "mqtt: QoS " + std::to_string(o.qos) + " does not exist; use 0, 1 or 2";
    return false;
  }
  if (o.keepalive_s < 5 || o.connack_timeout_ms < 1 || o.retry_min_ms < 1 ||
      o.retry_max_ms < o.retry_min_ms || o.stop_timeout_ms < 0) {
    *error = "mqtt: connection timing out of range";
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<outputs::Output> MakeMqttOutput(const MqttOptions& options, std::string* error) {
  LinkConfig link;
  if (!ParseBrokerUrl(options.url, &link.url, error)) return nullptr;
  if (!CheckOptions(options, error)) return nullptr;
  if (!options.ca_file.empty() && !link.url.tls) {
    *error = "--mqtt-ca is for mqtts:// brokers; --mqtt " + options.url + " is plain TCP";
    return nullptr;
  }
  std::string warning;
  if (!options.credentials_file.empty()) {
    if (!ReadCredentialsFile(options.credentials_file, &link.credentials, &warning, error)) {
      return nullptr;
    }
    link.has_credentials = true;
  }
  if (!options.ca_file.empty()) {
    // libmosquitto opens the file with fopen, which a named pipe would hold forever.
    std::string content;
    if (support::ReadRegularFile(options.ca_file, "--mqtt-ca", 1 << 20, &content, error) !=
        support::FileRead::kOk) {
      return nullptr;
    }
    // libmosquitto reads it only at the first connection; a wrong file is better told now.
    if (content.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
      *error = "--mqtt-ca " + options.ca_file +
               ": no PEM certificate in it (-----BEGIN CERTIFICATE-----)";
      return nullptr;
    }
  }
  link.ca_file = options.ca_file;
  link.client_id = options.client_id;
  link.will_topic = Topics(SitePrefix(options.prefix, options.site), "").Bridge();
  link.qos = options.qos;
  link.keepalive_s = options.keepalive_s;
  // A trial client finds what no connection attempt could fix (an unreadable CA file) now,
  // while the person is still looking at the command line.
  if (!MosquittoLink::Make(link, error)) return nullptr;
  auto output = std::make_unique<MqttOutput>(options, link, warning);
  if (!output->ready()) {
    *error = "mqtt: cannot make an eventfd: " + std::string(std::strerror(errno));
    return nullptr;
  }
  return output;
}

}  // namespace mqtt
