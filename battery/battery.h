#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "battery/link_settings.h"
#include "host/xqr_spdevice.h"

// The serial conversation with the battery-monitoring module.
//
// One poll round asks for the cell voltages (A1), the group voltage (A2), the current (A3) and the
// temperature (A4), each request only after the previous reply was accepted. poll_step_ names the
// outstanding request; any failure sets it back to 0 and the next poll tick starts a new round.
// The cell-voltage reply depends on the string size and is decoded by ProcessBatteryVoltage in
// the derived classes; the accepted temperature reply closes the round with RoundDone.
class Battery : public XQRSPDevice {
 public:
  Battery();
  ~Battery() override;

  float Get_Value(unsigned int data_id, const std::string& name) const override;
  int DeviceIoControl(int code, const unsigned char* in, int in_len, unsigned char* out,
                      int out_capacity, int& out_len) override;
  int InitSetting(const Json::Value& settings) override;
  int RefreshStatus() override;
  int process(unsigned char* data, unsigned int len) override;

  // Closes a round whose temperature reply was accepted. Left open here, like the byte-wise
  // LoadFromCache: the device that owns the record provides both, and a class that forgets it
  // cannot be made (the host's do-nothing default would drop every round silently).
  void RoundDone() override = 0;

  // Decodes the cell-voltage reply held in msg_buf. While fewer than 67 bytes are held: return 1
  // and touch nothing. Accepted: store the cells, CallGroupVoltage(), return 1. Rejected:
  // poll_step_ = 0, return 0.
  virtual int ProcessBatteryVoltage() = 0;

  static constexpr int kControlSaveInterval = link_settings::kControlSaveInterval;

 protected:
  enum PollStep { kIdle = 0, kCellVoltages = 1, kGroupVoltage = 2, kCurrent = 3, kTemperature = 4 };

  void CallVoltage();
  void CallGroupVoltage();
  void CallCurrent();
  void CallTemperature();
  unsigned char GetMMCheckSum(unsigned char* data, int len);

  int poll_step_ = kIdle;
  int version_ = link_settings::kDefaultVersion;
  int dir_ = 0;
  int retry_count_ = 0;
  float group_voltage_ = 0.0f;
  float group_current_ = 0.0f;
  float temperature_ = 0.0f;
  int battery_type_ = 0;
  float group_a_ = link_settings::kDefaultGroupA;
  float group_b_ = 0.0f;
  float battery_adjust_ = 0.0f;
  std::vector<int> active_batteries_;
  std::vector<unsigned int> group_voltage_ids_;
  bool group_voltage_valid_ = true;
  int battery_start_ = 0;
  int current_ratio_ = 0;
  int r_data_id_ = 0;
  std::string r_current_field_;
  int save_interval_ = link_settings::kDefaultSaveInterval;
  float t0_ = 0.0f;
  float t31_ = 0.0f;

 private:
  void SendRequest(unsigned char command, int step);
  void ResendOutstanding();
  int HandleShortReply();
  void DecodeGroupVoltage(float raw);
  void DecodeCurrent(float raw);
  void DecodeTemperature(float raw);
};
