#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "host/api.h"
#include "host/rule_value.h"
#include "host/vdevice_interface.h"

class XQRController;

// The controller's virtual device: configuration, value exchange with peers, records, thresholds
// and history. The virtual operations continue VDeviceInterface's table in exactly this order,
// and the data members are the ones a device may touch, in the controller's order: a device
// library is compiled against these offsets. What the framework keeps of a device for its own
// work lives in the framework, not here.
class XQR_API XQRVDevice : public VDeviceInterface {
 public:
  XQRVDevice();
  virtual ~XQRVDevice();

  virtual void Reset();
  virtual int InitV(unsigned int data_id);
  virtual int Init(std::weak_ptr<XQRController> controller, unsigned int data_id,
                   const Json::Value& settings);
  virtual int InitSetting(const Json::Value& settings);
  virtual bool IsSupportDevice(const std::string& device_type) const;
  virtual XQRVDevice* GetChildVDevice(unsigned int data_id);
  virtual std::vector<XQRVDevice*> GetAllChildVDevices();
  virtual bool SendSP(int record_code, const unsigned char* data, int len, bool flag);
  virtual bool SendDelayData(const unsigned char* data, int len, int delay_ms);
  virtual bool SendDoData(int channel, int value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(unsigned int data_id, const std::string& name);
  virtual int RefreshStatus();
  virtual int process(unsigned char* data, unsigned int len);

  // Alarm and history services of the controller (not virtual).
  bool CheckAOReport(const std::string& name, float value);
  bool CheckThreshold(const std::string& key, const std::string& label, float& value, int index);
  bool DoBatchCheckThreshold(std::vector<rule_value>& queue);
  bool SaveDeviceHistory(const unsigned char* data, int len);

  boost::posix_time::ptime last_update_;
  bool data_ready_ = false;
  bool report_flag_ = false;
  std::vector<rule_value> rule_values_;
  std::vector<std::string> ao_names_;
  std::map<std::string, float> ao_values_;
  std::map<std::string, int> threshold_levels_;
  std::map<std::string, float> threshold_values_;
  std::uint16_t status_word_ = 0;
};
