// The JACK client: ports in_left, in_right (the programme), backup_left,
// backup_right and out_left, out_right, connected at start where asked.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/devices/device.h"

namespace plumbra::host::devices {

struct JackOptions {
    std::string name = "plumbra";
    std::vector<std::string> connectIn, connectOut, connectBackup;  // other clients' ports, left then right
};

std::unique_ptr<Device> makeJackDevice(const JackOptions& options);

}  // namespace plumbra::host::devices
