#pragma once

#include <string>

namespace mqtt {

// Where the broker is: mqtt://host[:port] (plain TCP, port 1883 by default) or
// mqtts://host[:port] (TLS, port 8883 by default). The host is a name, an IPv4 address or an
// IPv6 address in brackets ([::1]). User names and passwords are refused here: they belong in the
// credentials file, never on a command line where every user of the machine can read them.
struct BrokerUrl {
  bool tls = false;
  std::string host;
  int port = 0;
};

// Parses `text`. On refusal returns false and sets *error to one line naming what is wrong.
bool ParseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* error);

// "mqtt://host:port" / "mqtts://[::1]:8883", for messages.
std::string BrokerText(const BrokerUrl& url);

}  // namespace mqtt
