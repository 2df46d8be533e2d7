#include "battery_host/outputs/mqtt/mosquitto_link.h"

#include <mosquitto.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace mqtt {

namespace {

// libmosquitto's texts end with a full stop; ours go on after them.
std::string WithoutStop(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string ErrorText(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
  if (rc == MOSQ_ERR_EAI) return "cannot resolve the host name";
  return WithoutStop(mosquitto_strerror(rc));
}

}  // namespace

void InitMosquittoLibrary() {
  static std::once_flag once;
  // Never cleaned up: clients may live until the process ends.
  std::call_once(once, [] { mosquitto_lib_init(); });
}

MosquittoLink::MosquittoLink(const LinkConfig& config) : config_(config) {}

MosquittoLink::~MosquittoLink() {
  if (mosq_) mosquitto_destroy(mosq_);
}

std::unique_ptr<MosquittoLink> MosquittoLink::Make(const LinkConfig& config, std::string* error) {
  InitMosquittoLibrary();
  std::unique_ptr<MosquittoLink> link(new MosquittoLink(config));
  const char* id = config.client_id.empty() ? nullptr : config.client_id.c_str();
  link->mosq_ = mosquitto_new(id, true, link.get());
  if (!link->mosq_) {
    *error = "mqtt: cannot create the client: " + std::string(std::strerror(errno));
    return nullptr;
  }
  mosquitto_connect_callback_set(link->mosq_, &MosquittoLink::OnConnect);
  mosquitto_disconnect_callback_set(link->mosq_, &MosquittoLink::OnDisconnect);
  mosquitto_publish_callback_set(link->mosq_, &MosquittoLink::OnPublish);
  static const char kOffline[] = "offline";
  int rc = mosquitto_will_set(link->mosq_, config.will_topic.c_str(),
                              static_cast<int>(sizeof kOffline - 1), kOffline, config.qos, true);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = "mqtt: cannot set the last will on " + config.will_topic + ": " + ErrorText(rc);
    return nullptr;
  }
  if (config.has_credentials) {
    const Credentials& c = config.credentials;
    rc = mosquitto_username_pw_set(link->mosq_, c.username.c_str(),
                                   c.has_password ? c.password.c_str() : nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "mqtt: the user name or password is not usable: " + ErrorText(rc);
      return nullptr;
    }
  }
  if (config.url.tls) {
    if (config.ca_file.empty()) {
      rc = mosquitto_int_option(link->mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
      if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_tls_set(link->mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
      }
    } else {
      rc = mosquitto_tls_set(link->mosq_, config.ca_file.c_str(), nullptr, nullptr, nullptr,
                             nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = config.ca_file.empty()
                   ? "mqtt: cannot use the system's CA certificates: " + ErrorText(rc)
                   : "--mqtt-ca " + config.ca_file + ": cannot be read as CA certificates";
      return nullptr;
    }
  }
  return link;
}

bool MosquittoLink::Begin(std::string* error) {
  const int rc = mosquitto_connect_async(mosq_, config_.url.host.c_str(), config_.url.port,
                                         config_.keepalive_s);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = ErrorText(rc);
    return false;
  }
  guard_ = std::make_unique<ReadGuard>();
  budget_ = std::make_unique<IncomingBudget>(config_.url.tls, config_.qos, config_.keepalive_s,
                                             IncomingBudget::Clock::now());
  // A small receive buffer keeps what one read can bring in (before the budget is looked at
  // again) small too; a client that only publishes needs little.
  const int buffer = kReceiveBuffer;
  setsockopt(Socket(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  return true;
}

bool MosquittoLink::WithinBudget(std::string* error) {
  std::uint64_t received = 0;
  if (!budget_ || Socket() < 0 || !ReceivedBytes(Socket(), &received)) return true;
  overrun_ = !budget_->Check(received, IncomingBudget::Clock::now(), error);
  return !overrun_;
}

int MosquittoLink::Socket() const { return mosquitto_socket(mosq_); }

bool MosquittoLink::WantWrite() const { return mosquitto_want_write(mosq_); }

bool MosquittoLink::Step(bool readable, bool writable, std::string* error) {
  // Looked at before libmosquitto reads (what waits unread counts too) and after.
  if (!WithinBudget(error)) {
    connected_ = false;
    return false;
  }
  int rc = MOSQ_ERR_SUCCESS;
  if (readable && budget_) {
    // libmosquitto reads on while bytes keep coming; the guard stops it at the budget.
    std::uint64_t cut_at = 0;
    guard_->Begin(Socket(), budget_->Limit());
    rc = mosquitto_loop_read(mosq_, 1);
    if (guard_->End(&cut_at)) {
      budget_->Check(cut_at, IncomingBudget::Clock::now(), error);
      overrun_ = true;
      connected_ = false;
      return false;
    }
  } else if (readable) {
    rc = mosquitto_loop_read(mosq_, 1);
  }
  if (rc == MOSQ_ERR_SUCCESS && Socket() >= 0 && !WithinBudget(error)) {
    connected_ = false;
    return false;
  }
  if (rc == MOSQ_ERR_SUCCESS && writable && Socket() >= 0) rc = mosquitto_loop_write(mosq_, 1);
  if (rc == MOSQ_ERR_SUCCESS && Socket() >= 0) rc = mosquitto_loop_misc(mosq_);
  if (rc == MOSQ_ERR_SUCCESS && Socket() >= 0) return true;
  connected_ = false;
  if (refused_ != 0) {
    *error = WithoutStop(mosquitto_connack_string(refused_));
  } else if (rc != MOSQ_ERR_SUCCESS) {
    *error = ErrorText(rc);
  } else if (lost_rc_ != 0) {
    *error = ErrorText(lost_rc_);
  } else {
    *error = "the broker closed the connection";
  }
  return false;
}

bool MosquittoLink::Publish(const std::string& topic, const std::string& payload, bool retain,
                            int* mid) {
  int id = 0;
  in_publish_ = true;
  const int rc = mosquitto_publish(mosq_, &id, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), config_.qos, retain);
  in_publish_ = false;
  if (rc != MOSQ_ERR_SUCCESS) return false;
  if (budget_) budget_->Sent();
  if (written_early_.erase(id) == 0) in_flight_.insert(id);
  if (mid) *mid = id;
  return true;
}

void MosquittoLink::Disconnect() { mosquitto_disconnect(mosq_); }

void MosquittoLink::OnConnect(struct mosquitto*, void* self, int rc) {
  auto* link = static_cast<MosquittoLink*>(self);
  if (rc == 0) {
    link->connected_ = true;
  } else {
    link->refused_ = rc;
  }
}

void MosquittoLink::OnDisconnect(struct mosquitto*, void* self, int rc) {
  auto* link = static_cast<MosquittoLink*>(self);
  link->connected_ = false;
  link->lost_rc_ = rc;
}

void MosquittoLink::OnPublish(struct mosquitto*, void* self, int mid) {
  auto* link = static_cast<MosquittoLink*>(self);
  if (link->in_flight_.erase(mid) == 0 && link->in_publish_) link->written_early_.insert(mid);
}

}  // namespace mqtt
