// The process-wide Zenoh session and the texts that name a robot on the network.
// AcquireSession may be called from any thread; its cache mutex serialises callers, and opening a
// session blocks while holding it. The cache keeps no session alive: the session closes when its
// last holder lets go, and the next AcquireSession opens a fresh one.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "middleware/zenoh.h"

namespace korvan::zenoh_mdw {

// Every key of a robot starts with this, followed by its canonical serial number.
inline const std::string kRobotPrefix = "korvan/robot/";

// The protocol version this client speaks; compared with the version the robot's service reports.
inline const std::string kClientVersion = "v2.1";

// The live session if any holder still has it, otherwise a newly opened one with Zenoh's default
// configuration. Throws zenoh::ZException "Failed to open session"; nothing is cached then.
std::shared_ptr<zenoh::Session> AcquireSession();

// The key text of one of a robot's endpoints: prefix, serial number and suffix, unescaped.
std::string RobotKey(std::string_view serial_number, std::string_view suffix);

}  // namespace korvan::zenoh_mdw
