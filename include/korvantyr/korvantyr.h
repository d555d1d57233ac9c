// Korvan Tyrlink (TYR): read-only client for a robot's data service.
//
// This header holds everything a user of the library sees: the joint-group enumeration, its name
// table, the records that queries return and the client itself. It needs only the standard library.
//
// Units: the robot's data service fixes the physical units of joint and Cartesian values; the
// client passes them on unchanged (widened from single to double precision). Poses are a position
// x, y, z followed by an orientation quaternion qw, qx, qy, qz.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// Marks what libkorvantyr.so exports; the library builds everything else hidden.
#if defined(__GNUC__) || defined(__clang__)
#define KORVANTYR_API __attribute__((visibility("default")))
#else
#define KORVANTYR_API
#endif

namespace korvan {
namespace tyr {

/// Joint group of a robot. Per-group results are ordered maps keyed by this type, so they iterate
/// in ascending value. The values 0 to 5 are also the group indices of the robot's service.
enum class JointGroup : int32_t {
  UNKNOWN = -1,  ///< No valid joint group.
  ALL = 0,       ///< The whole robot.
  ARMS = 2,      ///< Both arms together.
  ARM_1 = 3,     ///< The first arm.
  ARM_2 = 4,     ///< The second arm.
  EXT_AXIS = 5,  ///< The external axes.
};

/// Name of every joint group, spelled like its enumerator. Built once when the library is loaded,
/// shared by all clients, never modified. Use at(): a missing key throws std::out_of_range.
extern KORVANTYR_API const std::map<JointGroup, std::string> kJointGroupNames;

/// Measured state of one joint group, cut from the robot's basic data stream.
/// The per-joint vectors have one element per joint of the group (empty for a group the client did
/// not learn at start-up); a default record is all zeros and empty vectors.
struct RobotStates {
  /// Time stamp of the stream message this record was cut from, the robot's two integers as sent.
  std::pair<int32_t, int32_t> timestamp{};
  /// Measured joint positions (link side).
  std::vector<double> q{};
  /// Measured joint positions on the motor side.
  std::vector<double> theta{};
  /// Measured joint velocities (link side).
  std::vector<double> dq{};
  /// Measured joint velocities on the motor side.
  std::vector<double> dtheta{};
  /// Measured joint torques.
  std::vector<double> tau{};
  /// Time derivative of the measured joint torques.
  std::vector<double> tau_dot{};
  /// Estimated external joint torques.
  std::vector<double> tau_ext{};
  /// Estimated joint torques caused by interaction with the environment.
  std::vector<double> tau_interact{};
  /// Joint temperatures.
  std::vector<double> temperature{};
  /// Flange pose in the world frame: position x, y, z, then orientation quaternion qw, qx, qy, qz.
  std::array<double, 7> flange_pose{};
  /// TCP pose in the world frame: position x, y, z, then orientation quaternion qw, qx, qy, qz.
  std::array<double, 7> tcp_pose{};
  /// TCP twist as two 3-vectors (elements 0-2 and 3-5), in the robot service's component order.
  std::array<double, 6> tcp_twist{};
  /// TCP wrench in the world frame: force (0-2), then moment (3-5); tcp_wrench_local rotated by
  /// the orientation of tcp_pose.
  std::array<double, 6> tcp_wrench{};
  /// TCP wrench in the TCP frame: force (0-2), then moment (3-5).
  std::array<double, 6> tcp_wrench_local{};
  /// Unfiltered TCP wrench in the world frame: raw_tcp_wrench_local rotated like tcp_wrench.
  std::array<double, 6> raw_tcp_wrench{};
  /// Unfiltered TCP wrench in the TCP frame: force (0-2), then moment (3-5).
  std::array<double, 6> raw_tcp_wrench_local{};
  /// Unprocessed force/torque sensor reading: force (0-2), then moment (3-5), not rotated.
  std::array<double, 6> raw_ft_sensor{};
};

/// Commanded (desired) values of one joint group, cut from the robot's extra data stream.
/// Same conventions as RobotStates.
struct RobotActions {
  /// Time stamp of the latest basic stream message when this record was cut (the extra stream has
  /// none), the robot's two integers as sent.
  std::pair<int32_t, int32_t> timestamp{};
  /// Commanded joint positions.
  std::vector<double> q_d{};
  /// Commanded joint velocities.
  std::vector<double> dq_d{};
  /// Commanded joint torques.
  std::vector<double> tau_d{};
  /// Commanded TCP pose in the world frame, laid out like RobotStates::tcp_pose.
  std::array<double, 7> tcp_pose_d{};
  /// Commanded TCP twist, laid out like RobotStates::tcp_twist.
  std::array<double, 6> tcp_twist_d{};
  /// Commanded TCP wrench: force (0-2), then moment (3-5), as the robot sends it (not rotated).
  std::array<double, 6> tcp_wrench_d{};
};

/// State of the motion primitive that one joint group is executing.
struct PrimitiveStates {
  /// Name of the primitive.
  std::string pt_name{};
  /// The primitive's state variables by name (byte-wise ascending); each value is an integer, a
  /// double or a string.
  std::map<std::string, std::variant<int32_t, double, std::string>> names_and_values{};
};

/// Plan execution information of the whole robot.
struct PlanInfo {
  /// Name of the primitive being executed.
  std::string pt_name{};
  /// Name of the plan node being executed.
  std::string node_name{};
  /// Path of that node within the plan.
  std::string node_path{};
  /// Time period of the node path, the robot's text, not interpreted.
  std::string node_path_time_period{};
  /// Number of the node path, the robot's text, not interpreted.
  std::string node_path_number{};
  /// Name of the plan assigned to the robot.
  std::string assigned_plan_name{};
  /// Velocity scale of the plan execution, as the robot reports it.
  double velocity_scale{};
  /// True while the plan execution waits for a step to be triggered.
  bool waiting_for_step{};
};

// ---------------------------------------------------------------------------------------------
// Client
// The client facade is declared here, after the records its queries return.
// ---------------------------------------------------------------------------------------------

/// Read-only connection to one robot's data service.
///
/// Construction runs the whole start-up and either yields a connected client or throws; nothing
/// reconnects later. Streamed data (states, actions, safety flags, digital I/O, joint groups) is
/// answered at once from the latest message received; the remote queries block the calling thread
/// until the robot answers or their time-out passes. A failed query leaves the client usable.
/// Queries may come from several threads; remote calls then run one after another.
class KORVANTYR_API Client {
 public:
  /// Connects to the robot named `robot_sn` (a model designation, a hyphen and a unit number;
  /// model words may be separated by spaces or hyphens). `verbose` switches the informational
  /// start-up log lines on. Blocks for up to three probes of 1.0 s each, the version call (2.0 s),
  /// a 100 ms pause for the first stream data and the start ID and DoF call (2.0 s).
  /// @throw std::invalid_argument if the serial number is malformed (before any network access).
  /// @throw std::runtime_error if the Zenoh session cannot be opened, the robot does not answer,
  ///        its server version or its start IDs and DoF cannot be obtained.
  /// @throw std::logic_error if the robot's protocol version is not this client's.
  Client(const std::string& robot_sn, bool verbose);
  /// Ends the subscriptions and releases the connection; logs the exit line.
  virtual ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  /// Whether the robot answers a probe now. Waits up to 1.0 s; never throws.
  bool connected();
  /// The joint groups named by the latest basic stream message, with their names; empty before the
  /// first message. Does not wait.
  /// @throw std::out_of_range if the message names a group number without a name.
  std::map<JointGroup, std::string> groups();
  /// Measured states of each joint group learnt at start-up, from the latest basic stream
  /// message. Does not wait. Empty (after an error log line) when the data does not fit the
  /// robot's joint groups, and before the first message.
  std::map<JointGroup, RobotStates> states();
  /// Commanded values of each joint group learnt at start-up, from the latest extra stream
  /// message. Does not wait. Empty when the data does not fit or has not arrived yet.
  std::map<JointGroup, RobotActions> actions();
  /// State of the motion primitive each joint group executes, asked of the robot now. Waits up to
  /// 2.0 s per request and repeats a corrupted reply a few times.
  /// @throw std::runtime_error if the robot gives no valid reply or the reply is malformed.
  std::map<JointGroup, PrimitiveStates> primitive_states();
  /// Two scores from 0 to 100 per joint group rating its current configuration (higher is
  /// better), from manipulability values asked of the robot now. Waits up to 2.0 s.
  /// @throw std::runtime_error if the robot gives no valid reply.
  std::map<JointGroup, std::pair<double, double>> configuration_score();
  /// The robot's plan execution info, asked of the robot now. Waits up to 2.0 s.
  /// @throw std::runtime_error if the robot gives no valid reply.
  PlanInfo plan_info();
  /// Whether the emergency stop is released (false before the first basic message). Does not wait.
  bool estop_released();
  /// Whether the enabling device is pressed (false before the first basic message). Does not wait.
  bool enabling_device_on();
  /// The twenty digital inputs (all false before the first basic message). Does not wait.
  std::array<bool, 20> digital_inputs();
  /// The twenty digital outputs (all false before the first basic message). Does not wait.
  std::array<bool, 20> digital_outputs();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tyr
}  // namespace korvan
