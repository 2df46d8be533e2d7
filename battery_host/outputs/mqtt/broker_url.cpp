#include "battery_host/outputs/mqtt/broker_url.h"

#include <cctype>

namespace mqtt {

namespace {

bool Refuse(const std::string& text, const std::string& why, std::string* error) {
  *error = "--mqtt '" + text + "': " + why;
  return false;
}

// Letters, digits, '-', '.', '_': what a host name or an IPv4 address is made of.
bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsIpv6Char(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
}

// The scheme sets TLS and the default port; what follows it is only host and port.
bool SplitScheme(const std::string& text, BrokerUrl* out, std::string* rest, std::string* error) {
  if (text.compare(0, 7, "mqtt://") == 0) {
    *rest = text.substr(7);
    out->port = 1883;
  } else if (text.compare(0, 8, "mqtts://") == 0) {
    *rest = text.substr(8);
    out->tls = true;
    out->port = 8883;
  } else {
    return Refuse(text, "the URL must start with mqtt:// or mqtts://", error);
  }
  // A trailing slash is harmless; any other path, a query or a fragment means nothing here.
  if (!rest->empty() && rest->back() == '/') rest->pop_back();
  if (rest->find('@') != std::string::npos) {
    return Refuse(text,
                  "no user or password in the URL: put them in the file named by "
                  "--mqtt-credentials",
                  error);
  }
  if (rest->find_first_of("/?#") != std::string::npos) {
    return Refuse(text, "the URL has a path, query or fragment; give only host and port", error);
  }
  return true;
}

// "host", "host:port", "[v6]" or "[v6]:port". *port_text is set only where a port is given.
bool SplitHost(const std::string& text, const std::string& rest, std::string* host, bool* has_port,
               std::string* port_text, std::string* error) {
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos) return Refuse(text, "the IPv6 address has no ']'", error);
    *host = rest.substr(1, close - 1);
    for (char c : *host) {
      if (!IsIpv6Char(c)) return Refuse(text, "the IPv6 address in brackets is not valid", error);
    }
    const std::string after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return Refuse(text, "unexpected text after the IPv6 address", error);
      *has_port = true;
      *port_text = after.substr(1);
    }
    return true;
  }
  if (rest.find(':') != rest.rfind(':')) {
    return Refuse(text, "an IPv6 address must stand in brackets: mqtt://[::1]:1883", error);
  }
  const std::size_t colon = rest.find(':');
  *host = rest.substr(0, colon);
  if (colon != std::string::npos) {
    *has_port = true;
    *port_text = rest.substr(colon + 1);
  }
  for (char c : *host) {
    if (!IsHostChar(c)) {
      return Refuse(text, "the host name has characters a host name cannot have", error);
    }
  }
  return true;
}

// Digits only, 1 to 65535.
bool ReadPort(const std::string& text, const std::string& port_text, int* port,
              std::string* error) {
  if (port_text.empty() || port_text.size() > 5) {
    return Refuse(text, "the port must be a number from 1 to 65535", error);
  }
  long n = 0;
  for (char c : port_text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return Refuse(text, "the port must be a number from 1 to 65535", error);
    }
    n = n * 10 + (c - '0');
  }
  if (n < 1 || n > 65535) return Refuse(text, "the port must be a number from 1 to 65535", error);
  *port = static_cast<int>(n);
  return true;
}

}  // namespace

bool ParseBrokerUrl(const std::string& text, BrokerUrl* url, std::string* error) {
  BrokerUrl out;
  std::string rest;
  if (!SplitScheme(text, &out, &rest, error)) return false;
  std::string port_text;
  bool has_port = false;
  if (!SplitHost(text, rest, &out.host, &has_port, &port_text, error)) return false;
  if (out.host.empty()) return Refuse(text, "the URL names no host", error);
  // The longest name DNS can carry; libmosquitto would take a longer one and fail each try.
  if (out.host.size() > 255) {
    return Refuse(text, "the host name is longer than 255 characters", error);
  }
  if (has_port && !ReadPort(text, port_text, &out.port, error)) return false;
  *url = out;
  return true;
}

std::string BrokerText(const BrokerUrl& url) {
  const bool v6 = url.host.find(':') != std::string::npos;
  return std::string(url.tls ? "mqtts://" : "mqtt://") + (v6 ? "[" : "") + url.host +
         (v6 ? "]" : "") + ":" + std::to_string(url.port);
}

}  // namespace mqtt
