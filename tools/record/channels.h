// What a recording holds besides the raw samples: the message definitions of its decoded channels
// (ROS 2 message definitions, encoded as CDR, which the common robotics viewers decode without
// plugins) and the encoders that fill them from the library's own records. Stateless; any thread.
//
// CDR was chosen over JSON by cost: a 56-joint state is about 500 numbers, and formatting them as
// text costs microseconds per message where copying them costs nanoseconds (figures in the
// recording documentation).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "messages/rpc_messages.h"
#include "messages/stream_messages.h"

namespace korvan::record {

// Message encoding of the raw channels: the robot's payload exactly as it arrived.
inline constexpr std::string_view kRawEncoding = "zenoh-serialized";

struct MessageType {
  std::string_view name;        // e.g. "korvantyr_msgs/msg/RobotStates"
  std::string_view definition;  // the ros2msg text, dependencies included
};

extern const MessageType kRobotStatesType;
extern const MessageType kRobotActionsType;
extern const MessageType kSafetyIoType;
extern const MessageType kRpcReplyType;
extern const MessageType kPoseStampedType;

// The robot's time stamp (int32, uint32) as a header stamp; frame_id is "world".
using Stamp = std::pair<int32_t, uint32_t>;

// Each encoder replaces `out` with one CDR message (little-endian, with its 4-byte header).
void EncodeStates(const tyr::RobotStates& states, std::vector<uint8_t>& out);
void EncodeActions(const tyr::RobotActions& actions, Stamp stamp, std::vector<uint8_t>& out);
void EncodeSafetyIo(const zenoh_msgs::tyr_msg::SafetyIoData& io, Stamp stamp,
                    std::vector<uint8_t>& out);
// A pose laid out as the robot sends it: x, y, z, qw, qx, qy, qz.
void EncodePose(const std::array<double, 7>& pose, Stamp stamp, std::vector<uint8_t>& out);
// Texts that are not UTF-8 are written with each byte outside ASCII as \xNN.
void EncodeReply(const zenoh_msgs::tyr_msg::RPCReply& reply, Stamp stamp,
                 std::vector<uint8_t>& out);

}  // namespace korvan::record
