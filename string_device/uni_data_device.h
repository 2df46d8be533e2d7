#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>

#include <json/value.h>

#include "battery/byte_order.h"
#include "battery/diag_line.h"
#include "battery/link_settings.h"
#include "battery/local_clock.h"
#include "battery/settings_json.h"
#include "host/ttime.h"

// A device that owns one fixed record and closes every poll round with it: the record is stamped
// and handed to the host under RecordCode, the per-round threshold hook runs, analog reports and
// the threshold batch are checked, and the refreshed record is saved as history.
//
// Record must be a byte-for-byte layout with the byte fields `id` (data id, little-endian) and
// `time_stamp` (7 bytes of the host's time stamp).
template <typename Record, typename Base, int RecordCode>
class UniDataDevice : public Base {
 public:
  UniDataDevice() { std::memset(&data_, 0, sizeof data_); }
  ~UniDataDevice() override = default;

  using Base::LoadFromCache;

  // Restores a stored record and runs a round with it, so the host sees it sent and stored again.
  bool LoadFromCache(const unsigned char* data, int length) override {
    if (data == nullptr || length != static_cast<int>(sizeof(Record))) return false;
    std::memcpy(&data_, data, sizeof(Record));
    this->data_ready_ = true;
    RoundDone();
    return true;
  }

  // The host relies on this order: the record handed over by SendSP carries this round's time
  // stamp with the previous round's measurements; the history gets this round's measurements.
  void RoundDone() override {
    if (!this->data_ready_) this->data_ready_ = true;
    this->last_update_ = local_clock::Now();
    const ttime stamp = get_ttime(this->last_update_);
    std::memcpy(data_.time_stamp, stamp.data(), sizeof data_.time_stamp);
    this->SendSP(RecordCode, Bytes(), static_cast<int>(sizeof(Record)), false);
    this->Reset();
    this->status_word_ = 1;
    this->report_flag_ = false;
    RunCheckThreshold();
    for (const std::string& name : this->ao_names_) {
      auto it = this->ao_values_.find(name);
      if (it == this->ao_values_.end()) continue;
      if (this->CheckAOReport(name, it->second)) this->report_flag_ = true;
      this->CheckThreshold(name, "", it->second, 1);
    }
    WriteQueueSizeLine(this->rule_values_.size());
    if (this->DoBatchCheckThreshold(this->rule_values_)) this->report_flag_ = true;
    this->SaveDeviceHistory(Bytes(), static_cast<int>(sizeof(Record)));
    this->rule_values_.clear();
  }

  int InitSetting(const Json::Value& settings) override;

  // Per-round hook: compare, update the record, queue threshold checks.
  virtual void RunCheckThreshold() {}

 protected:
  const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(&data_); }

  // "rvSize is <n>": how many threshold checks the round queued.
  static void WriteQueueSizeLine(std::size_t queued) {
    char line[40] = "rvSize is ";
    constexpr std::size_t kPrefixLen = sizeof "rvSize is " - 1;
    char* end = std::to_chars(line + kPrefixLen, line + sizeof line - 1, queued).ptr;
    *end++ = '\n';
    WriteDiagText(line, static_cast<std::size_t>(end - line));
  }

  Record data_;
  int b_mode_ = link_settings::kDefaultAlarmMode;
  std::map<std::string, std::string> alarm_ids_;     // signal key -> "NMAlarmID;ID;SignalNumber;"
  std::map<std::string, std::string> signal_names_;  // signal key -> display name

 private:
  void ReadThresholdSetting(const Json::Value& threshold_setting);
};

template <typename Record, typename Base, int RecordCode>
int UniDataDevice<Record, Base, RecordCode>::InitSetting(const Json::Value& settings) {
  byte_order::WriteLe32(data_.id, this->DataId());

  if (link_settings::ReadAlarmMode(settings, &b_mode_)) {
    DiagLine().Text("InitSetting ").Unsigned(this->DataId()).Text(" b_mode_:").Int(b_mode_).Write();
  }

  // Mode 3: the alarm engine of the operator's network management names each signal itself.
  if (b_mode_ == link_settings::kNamedSignalsMode) {
    DiagLine().Text("here 1").Write();
    if (const Json::Value* ts = PresentMember(settings, "thresholdSetting")) {
      DiagLine().Text("here 2").Write();
      ReadThresholdSetting(*ts);
    }
  }

  return Base::InitSetting(settings);
}

template <typename Record, typename Base, int RecordCode>
void UniDataDevice<Record, Base, RecordCode>::ReadThresholdSetting(const Json::Value& ts) {
  // Only an object's members have names to serve as signal keys; a string, number or array
  // holds none.
  if (!ts.isObject()) return;
  for (auto it = ts.begin(); it != ts.end(); ++it) {
    const std::string key = it.name();
    DiagLine().Text("here ").Text(key).Write();
    const Json::Value& member = *it;
    if (!member.isObject()) continue;

    if (const Json::Value* name = PresentMember(member, link_settings::kSignalNameKey)) {
      std::string& slot = signal_names_[key];  // the entry exists even if the text throws
      slot = name->asString();
    }

    const std::string identity = link_settings::SignalIdentity(member, [this](const char* field) {
      DiagLine().Unsigned(this->DataId()).Text(" ").Text(field).Text(" is missing").Write();
    });

    // Reading the host's maps inserts the key, so the host holds an entry for every signal.
    const int level = this->threshold_levels_[key];
    const float value = this->threshold_values_[key];
    DiagLine()
        .Text("mobile:")
        .Text(key)
        .Text(":")
        .Text(identity)
        .Text(" level:")
        .Int(level)
        .Text(" value:")
        .Float(value)
        .Write();
    alarm_ids_[key] = identity;
  }
}
