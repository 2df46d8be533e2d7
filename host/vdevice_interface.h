#pragma once

#include <stdexcept>
#include <string>

#include "host/api.h"

// Root of every device the host knows. Header-only: the host and each plug-in compile it
// themselves. The order of the virtual operations below is the host's virtual table and must
// not change.
class XQR_API VDeviceInterface {
 public:
  virtual float Get_Value(unsigned int data_id, const std::string& name) const {
    (void)data_id;
    (void)name;
    throw std::out_of_range("数据未就绪");
  }

  // The host restores a stored record as a string; the bytes go to the overload below.
  virtual bool LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
  }
  virtual bool LoadFromCache(const unsigned char* data, int length) = 0;

  virtual unsigned int DataId() const { return data_id_; }
  virtual const std::string& DeviceType() const { return device_type_; }

  virtual int DeviceIoControl(int code, const unsigned char* in, int in_len, unsigned char* out,
                              int out_capacity, int& out_len) {
    (void)code;
    (void)in;
    (void)in_len;
    (void)out;
    (void)out_capacity;
    (void)out_len;
    return -2;
  }

  virtual void RoundDone() {}
  virtual bool UseControllerDb() const { return false; }

 protected:
  unsigned int data_id_ = 0;
  std::string device_type_;
};
