#pragma once

#include <string>
#include <vector>

#include "host/api.h"
#include "host/rule_value.h"

class XQRVDevice;

// What the host does with a device's output: records, history, alarms. The controller forwards
// every service call of its devices here; the reference host prints them, tests record them.
class XQR_API XQRListener {
 public:
  virtual ~XQRListener();
  virtual void OnRefreshStatus(const XQRVDevice& device);
  virtual void OnReset(const XQRVDevice& device);
  virtual void OnSendSP(const XQRVDevice& device, int record_code, const unsigned char* data,
                        int len, bool flag);
  virtual void OnCheckAOReport(const XQRVDevice& device, const std::string& name, float value,
                               bool due);
  virtual void OnCheckThreshold(const XQRVDevice& device, const rule_value& rule);
  virtual void OnBatchCheckThreshold(const XQRVDevice& device, const std::vector<rule_value>& queue,
                                     bool report_due);
  virtual void OnSaveHistory(const XQRVDevice& device, const unsigned char* data, int len);
  // A queued rule whose alarm state differs from the previous batch: raised or cleared.
  virtual void OnAlarmChange(const XQRVDevice& device, const rule_value& rule, bool raised);
};
