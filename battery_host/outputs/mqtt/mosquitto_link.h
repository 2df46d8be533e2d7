#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "battery_host/outputs/mqtt/broker_url.h"
#include "battery_host/outputs/mqtt/credentials_file.h"
#include "battery_host/outputs/mqtt/incoming_budget.h"
#include "battery_host/outputs/mqtt/read_guard.h"

struct mosquitto;

namespace mqtt {

// How to reach the broker and what it keeps for us.
struct LinkConfig {
  BrokerUrl url;
  bool has_credentials = false;
  Credentials credentials;
  std::string ca_file;     // mqtts: the CA certificates; empty: the system's
  std::string client_id;   // empty: libmosquitto makes a random one
  std::string will_topic;  // receives "offline", retained, when the connection dies
  int qos = 1;
  int keepalive_s = 30;
};

// One connection attempt to the broker and, if it succeeds, the connection: a libmosquitto
// client driven from outside (the caller polls Socket() and calls Step()). Every call comes from
// one thread, the output's own; the poll thread never reaches libmosquitto.
//
// A new link is made for every attempt. Dropping it closes the socket without a DISCONNECT, so a
// connection given up on looks to the broker like a dead host and it sends the last will.
class MosquittoLink {
 public:
  // Sets up the client (will, user, TLS). Refuses, with one line, what no attempt can fix
  // (a CA file that cannot be read).
  static std::unique_ptr<MosquittoLink> Make(const LinkConfig& config, std::string* error);
  ~MosquittoLink();
  MosquittoLink(const MosquittoLink&) = delete;
  MosquittoLink& operator=(const MosquittoLink&) = delete;

  // Starts the TCP connection (name resolution happens here) and queues CONNECT.
  bool Begin(std::string* error);

  int Socket() const;
  bool WantWrite() const;

  // After poll: reads what arrived, writes what is queued, keeps the connection alive. Returns
  // false when the connection is over; *error then says why. A broker that sends more than it
  // owes (IncomingBudget) ends the connection too.
  bool Step(bool readable, bool writable, std::string* error);

  bool connected() const { return connected_; }
  // The broker's CONNACK code when it turned the connection down (4: bad user name or
  // password, 5: not authorised), 0 otherwise.
  int refused() const { return refused_; }
  // The broker sent more than it owes (IncomingBudget) and the link dropped the connection.
  bool overrun() const { return overrun_; }

  // Hands a message to libmosquitto, which writes it when the socket takes it. Only while
  // connected.
  bool Publish(const std::string& topic, const std::string& payload, bool retain, int* mid);
  // Messages handed over and not yet written (QoS 0) or acknowledged (QoS 1, 2).
  std::size_t in_flight() const { return in_flight_.size(); }
  bool Delivered(int mid) const { return in_flight_.count(mid) == 0; }

  // Sends DISCONNECT (the broker then drops the last will) and closes when it is written.
  void Disconnect();

 private:
  explicit MosquittoLink(const LinkConfig& config);
  static void OnConnect(struct mosquitto*, void* self, int rc);
  static void OnDisconnect(struct mosquitto*, void* self, int rc);
  static void OnPublish(struct mosquitto*, void* self, int mid);
  bool WithinBudget(std::string* error);

  static constexpr int kReceiveBuffer = 16 * 1024;

  LinkConfig config_;
  struct mosquitto* mosq_ = nullptr;
  bool connected_ = false;
  int refused_ = 0;
  int lost_rc_ = 0;
  bool overrun_ = false;
  std::unordered_set<int> in_flight_;
  // With nothing queued before it, libmosquitto writes a QoS 0 message inside
  // mosquitto_publish and reports it written before the call has even returned its id.
  std::unordered_set<int> written_early_;
  bool in_publish_ = false;
  std::unique_ptr<IncomingBudget> budget_;  // from Begin()
  std::unique_ptr<ReadGuard> guard_;        // from Begin()
};

// Once per process, before the first client.
void InitMosquittoLibrary();

}  // namespace mqtt
