#pragma once

#include <memory>
#include <string>

#include "battery_host/outputs/output.h"

namespace mqtt {

// What the command line says about the broker (--mqtt, --mqtt-credentials, --mqtt-ca,
// --mqtt-prefix, --mqtt-discovery-prefix) plus the timing of the connection, which only the
// tests change.
struct MqttOptions {
  std::string url;               // mqtt://host[:port] or mqtts://host[:port]
  std::string credentials_file;  // username=/password= lines; empty: no login
  std::string ca_file;           // mqtts: CA certificates (PEM); empty: the system's
  std::string prefix = "battery-host";
  std::string site;  // non-empty: topics under <prefix>/<site>, ids carry it
  std::string discovery_prefix = "homeassistant";  // empty: no Home Assistant discovery
  std::string client_id;                           // empty: a random one
  std::string host_version;  // battery-host's version, for Home Assistant's devices
  int qos = 1;               // of every message, the last will included

  int keepalive_s = 30;            // the broker drops us (and sends the will) after 1.5x this
  int connack_timeout_ms = 10000;  // a broker that accepts TCP but does not answer CONNECT
  int retry_min_ms = 1000;         // reconnect delays double from this ...
  int retry_max_ms = 60000;        // ... up to this
  int stop_timeout_ms = 2000;      // Stop(): the last round acknowledged, "offline" and
                                   // DISCONNECT, at most this long
};

// Checks the options (URL, credentials file, CA file, prefixes, QoS) and makes the output; the
// connection starts with Start(), on a thread of the output's own. Returns nullptr and sets
// *error to one line naming what to fix when an option cannot work.
std::unique_ptr<outputs::Output> MakeMqttOutput(const MqttOptions& options, std::string* error);

// The delay before reconnect attempt `attempt` (0 for the first retry): min, 2 min, 4 min, ...,
// at most max.
int RetryDelayMs(int attempt, int min_ms, int max_ms);

}  // namespace mqtt
