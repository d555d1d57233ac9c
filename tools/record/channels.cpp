#include "channels.h"

#include <cstring>

#include "tools/printable.h"

namespace korvan::record {

namespace {

#define KVN_HEADER_DEPS                                              \
  "================================================================================\n" \
  "MSG: std_msgs/Header\n"                                           \
  "builtin_interfaces/Time stamp\n"                                  \
  "string frame_id\n"                                                \
  "================================================================================\n" \
  "MSG: builtin_interfaces/Time\n"                                   \
  "int32 sec\n"                                                      \
  "uint32 nanosec\n"

// Little-endian CDR: each value aligned to its size, counted from the end of the 4-byte header.
class Cdr {
 public:
  explicit Cdr(std::vector<uint8_t>& out) : out_(out) {
    out_.clear();
    out_.insert(out_.end(), {0x00, 0x01, 0x00, 0x00});
  }

  template <class T>
  void Put(T value) {
    Align(sizeof(T));
    Raw(&value, sizeof(T));
  }
  void Bool(bool value) { out_.push_back(value ? 1 : 0); }
  void String(std::string_view text) {
    Put<uint32_t>(static_cast<uint32_t>(text.size() + 1));
    Raw(text.data(), text.size());
    out_.push_back(0);
  }
  template <class T>
  void Array(const T* values, size_t count) {
    if (count == 0) return;
    Align(sizeof(T));
    Raw(values, count * sizeof(T));
  }
  template <class T>
  void Sequence(const T* values, size_t count) {
    Put<uint32_t>(static_cast<uint32_t>(count));
    Array(values, count);
  }
  template <class T>
  void Sequence(const std::vector<T>& values) {
    Sequence(values.data(), values.size());
  }
  template <size_t N>
  void Bools(const std::array<bool, N>& values) {
    for (bool value : values) Bool(value);
  }
  void Header(Stamp stamp) {
    Put<int32_t>(stamp.first);
    Put<uint32_t>(stamp.second);
    String("world");
  }

 private:
  void Align(size_t size) {
    const size_t offset = out_.size() - 4;
    out_.resize(out_.size() + (size - offset % size) % size, 0);
  }
  void Raw(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), bytes, bytes + size);
  }

  std::vector<uint8_t>& out_;
};

// Strict UTF-8 (no overlong forms, no surrogates), as the viewers' decoders expect it.
bool IsUtf8(std::string_view text) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = at(i);
    size_t extra = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      if (c == 0xe0) low = 0xa0;
      if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      if (c == 0xf0) low = 0x90;
      if (c == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    if (at(i + 1) < low || at(i + 1) > high) return false;
    for (size_t k = 2; k <= extra; ++k) {
      if ((at(i + k) & 0xc0) != 0x80) return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string Escaped(std::string_view text) {
  if (IsUtf8(text) && text.find('\0') == std::string_view::npos) return std::string(text);
  return korvan::tools::Printable(text);
}

}  // namespace

const MessageType kRobotStatesType{
    "korvantyr_msgs/msg/RobotStates",
    "# Measured state of one joint group, cut from one basic stream sample by the client's own\n"
    "# segmentation. header.stamp: the robot's time stamp. Poses: x, y, z, qw, qx, qy, qz;\n"
    "# wrenches: force, then moment; tcp_wrench and raw_tcp_wrench in the world frame.\n"
    "std_msgs/Header header\n"
    "float64[] q\n"
    "float64[] theta\n"
    "float64[] dq\n"
    "float64[] dtheta\n"
    "float64[] tau\n"
    "float64[] tau_dot\n"
    "float64[] tau_ext\n"
    "float64[] tau_interact\n"
    "float64[] temperature\n"
    "float64[7] flange_pose\n"
    "float64[7] tcp_pose\n"
    "float64[6] tcp_twist\n"
    "float64[6] tcp_wrench\n"
    "float64[6] tcp_wrench_local\n"
    "float64[6] raw_tcp_wrench\n"
    "float64[6] raw_tcp_wrench_local\n"
    "float64[6] raw_ft_sensor\n" KVN_HEADER_DEPS};

const MessageType kRobotActionsType{
    "korvantyr_msgs/msg/RobotActions",
    "# Commanded values of one joint group, cut from one extra stream sample. header.stamp: the\n"
    "# latest basic sample's robot time stamp (the extra stream has none).\n"
    "std_msgs/Header header\n"
    "float64[] q_d\n"
    "float64[] dq_d\n"
    "float64[] tau_d\n"
    "float64[7] tcp_pose_d\n"
    "float64[6] tcp_twist_d\n"
    "float64[6] tcp_wrench_d\n" KVN_HEADER_DEPS};

const MessageType kSafetyIoType{
    "korvantyr_msgs/msg/SafetyIo",
    "# Flags and digital I/O of one basic stream sample; index = input or output number.\n"
    "std_msgs/Header header\n"
    "uint16 aux_code\n"
    "int16 aux_value\n"
    "bool estop_released\n"
    "bool enabling_device_on\n"
    "bool[8] aux_flags\n"
    "bool[20] digital_inputs\n"
    "bool[20] digital_outputs\n" KVN_HEADER_DEPS};

const MessageType kRpcReplyType{
    "korvantyr_msgs/msg/RpcReply",
    "# One answer of the robot's data service, decoded. header.stamp: when it arrived (this\n"
    "# computer's clock).\n"
    "std_msgs/Header header\n"
    "uint16 request_id\n"
    "bool success\n"
    "uint16[] joint_groups\n"
    "int32[] int_container\n"
    "string[] string_container\n"
    "float32[] float_container\n"
    "FloatList[] float2d_container\n"
    "================================================================================\n"
    "MSG: korvantyr_msgs/FloatList\n"
    "float32[] values\n" KVN_HEADER_DEPS};

const MessageType kPoseStampedType{
    "geometry_msgs/msg/PoseStamped",
    "std_msgs/Header header\n"
    "Pose pose\n" KVN_HEADER_DEPS
    "================================================================================\n"
    "MSG: geometry_msgs/Pose\n"
    "Point position\n"
    "Quaternion orientation\n"
    "================================================================================\n"
    "MSG: geometry_msgs/Point\n"
    "float64 x\n"
    "float64 y\n"
    "float64 z\n"
    "================================================================================\n"
    "MSG: geometry_msgs/Quaternion\n"
    "float64 x 0\n"
    "float64 y 0\n"
    "float64 z 0\n"
    "float64 w 1\n"};

void EncodeStates(const tyr::RobotStates& s, std::vector<uint8_t>& out) {
  Cdr cdr(out);
  cdr.Header({s.timestamp.first, static_cast<uint32_t>(s.timestamp.second)});
  for (const std::vector<double>* v : {&s.q, &s.theta, &s.dq, &s.dtheta, &s.tau, &s.tau_dot,
                                       &s.tau_ext, &s.tau_interact, &s.temperature}) {
    cdr.Sequence(*v);
  }
  cdr.Array(s.flange_pose.data(), 7);
  cdr.Array(s.tcp_pose.data(), 7);
  for (const std::array<double, 6>* a : {&s.tcp_twist, &s.tcp_wrench, &s.tcp_wrench_local,
                                         &s.raw_tcp_wrench, &s.raw_tcp_wrench_local,
                                         &s.raw_ft_sensor}) {
    cdr.Array(a->data(), 6);
  }
}

void EncodeActions(const tyr::RobotActions& a, Stamp stamp, std::vector<uint8_t>& out) {
  Cdr cdr(out);
  cdr.Header(stamp);
  cdr.Sequence(a.q_d);
  cdr.Sequence(a.dq_d);
  cdr.Sequence(a.tau_d);
  cdr.Array(a.tcp_pose_d.data(), 7);
  cdr.Array(a.tcp_twist_d.data(), 6);
  cdr.Array(a.tcp_wrench_d.data(), 6);
}

void EncodeSafetyIo(const zenoh_msgs::tyr_msg::SafetyIoData& io, Stamp stamp,
                    std::vector<uint8_t>& out) {
  Cdr cdr(out);
  cdr.Header(stamp);
  cdr.Put<uint16_t>(io.aux_code);
  cdr.Put<int16_t>(io.aux_value);
  cdr.Bool(io.estop_released);
  cdr.Bool(io.enabling_device_on);
  cdr.Bools(io.aux_flags);
  cdr.Bools(io.digital_inputs);
  cdr.Bools(io.digital_outputs);
}

void EncodePose(const std::array<double, 7>& pose, Stamp stamp, std::vector<uint8_t>& out) {
  Cdr cdr(out);
  cdr.Header(stamp);
  const double ordered[7] = {pose[0], pose[1], pose[2], pose[4], pose[5], pose[6], pose[3]};
  cdr.Array(ordered, 7);
}

void EncodeReply(const zenoh_msgs::tyr_msg::RPCReply& reply, Stamp stamp,
                 std::vector<uint8_t>& out) {
  Cdr cdr(out);
  cdr.Header(stamp);
  cdr.Put<uint16_t>(reply.request_id);
  cdr.Bool(reply.success);
  cdr.Sequence(reply.joint_groups);
  cdr.Sequence(reply.int_container);
  cdr.Put<uint32_t>(static_cast<uint32_t>(reply.string_container.size()));
  for (const std::string& text : reply.string_container) cdr.String(Escaped(text));
  cdr.Sequence(reply.float_container);
  cdr.Put<uint32_t>(static_cast<uint32_t>(reply.float2d_container.size()));
  for (const std::vector<float>& values : reply.float2d_container) cdr.Sequence(values);
}

}  // namespace korvan::record
