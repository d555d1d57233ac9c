// Endpoint suffixes of a robot's key expressions (see RobotKey in session.h). The two stream
// suffixes belong to the stream code that subscribes to them, the RPC suffix to the RPC code that
// queries it; they live here so that both and their tests name the same texts.
#pragma once

#include <string>

namespace korvan::zenoh_mdw {

// Stream side: the robot publishes its basic and extra data under these.
inline const std::string kBasicStreamSuffix = "/basic_stream_data";
inline const std::string kExtraStreamSuffix = "/extra_stream_data";

// RPC side: the robot's data service answers queries under this.
inline const std::string kRpcSuffix = "/rpc";

}  // namespace korvan::zenoh_mdw
