// Holds a connected MQTT output until the process is killed, for the last-will test:
//   mqtt_hold URL PREFIX
// Exits 2 when the output refuses the options.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "battery_host/outputs/mqtt/mqtt_output.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: mqtt_hold URL PREFIX\n");
    return 2;
  }
  mqtt::MqttOptions options;
  options.url = argv[1];
  options.prefix = argv[2];
  options.discovery_prefix = "";
  std::string error;
  auto output = mqtt::MakeMqttOutput(options, &error);
  if (!output) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  outputs::DeviceInfo device;
  device.data_id = 1;
  output->Start({device},
                [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  for (;;) pause();
}
