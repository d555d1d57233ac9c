#include "stream/data_stream.h"

#include <spdlog/spdlog.h>

#include <stdexcept>
#include <utility>

#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "stream/deferred_log.h"
#include "stream/segmentation.h"

namespace korvan {
namespace tyr_impl {

using tyr::JointGroup;

DataStream::~DataStream() {
  // Destroying a Subscriber waits for its handler, so from here on nothing writes the receive
  // buffers; a hand-over that got its mutex before that has finished once we hold both.
  basic_subscriber_.reset();
  extra_subscriber_.reset();
  std::scoped_lock wait_for_hand_overs(basic_mutex_, extra_mutex_);
}

KvnState DataStream::Start(const std::shared_ptr<zenoh::Session>& session,
                           const std::string& robot_sn) {
  // A subscription held before is ended before its successor is declared: two handlers must never
  // write one receive buffer at the same time.
  const std::string basic_key = zenoh_mdw::RobotKey(robot_sn, zenoh_mdw::kBasicStreamSuffix);
  spdlog::debug("[korvan::tyr::Client] Creating subscriber on topic: {}", basic_key);
  basic_subscriber_.reset();
  basic_subscriber_ = std::make_shared<zenoh_mdw::Subscriber<BasicData>>(
      session, [this] { OnBasicData(); }, basic_buffer_, basic_key);

  const std::string extra_key = zenoh_mdw::RobotKey(robot_sn, zenoh_mdw::kExtraStreamSuffix);
  spdlog::debug("[korvan::tyr::Client] Creating subscriber on topic: {}", extra_key);
  extra_subscriber_.reset();
  extra_subscriber_ = std::make_shared<zenoh_mdw::Subscriber<ExtraData>>(
      session, [this] { OnExtraData(); }, extra_buffer_, extra_key);

  return MakeGeneralState(kKvnStateOk);
}

// Copy assignment keeps the destination vectors' storage where it is large enough, so at a steady
// stream rate a hand-over allocates nothing; the receive buffer keeps its contents.
void DataStream::OnBasicData() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  latest_basic_ = basic_buffer_;
}

void DataStream::OnExtraData() {
  std::lock_guard<std::mutex> lock(extra_mutex_);
  latest_extra_ = extra_buffer_;
}

bool DataStream::EstopReleased() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return latest_basic_.safety_io.estop_released;
}

bool DataStream::EnablingDeviceOn() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return latest_basic_.safety_io.enabling_device_on;
}

std::array<bool, 20> DataStream::DigitalInputs() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return latest_basic_.safety_io.digital_inputs;
}

std::array<bool, 20> DataStream::DigitalOutputs() {
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return latest_basic_.safety_io.digital_outputs;
}

std::map<JointGroup, std::string> DataStream::JointGroups() {
  DeferredLog log;  // before the guard: its line is written once the mutex is released
  std::map<JointGroup, std::string> groups;
  std::lock_guard<std::mutex> lock(basic_mutex_);
  for (const uint16_t number : latest_basic_.joint_group_indices) {
    if (number > static_cast<uint16_t>(JointGroup::EXT_AXIS)) {
      log.Error(
          "[korvan::tyr::Client] The received basic data contains invalid joint group index [{}]",
          number);
      return {};
    }
    // 1 passes the range test but has no name: std::out_of_range, with the text of
    // std::map::at as users read it whichever C++ standard library the build uses.
    const auto group = static_cast<JointGroup>(number);
    const auto name = tyr::kJointGroupNames.find(group);
    if (name == tyr::kJointGroupNames.end()) throw std::out_of_range("map::at");
    groups.emplace(group, name->second);
  }
  return groups;
}

std::map<JointGroup, tyr::RobotStates> DataStream::SegmentStates(
    const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs) {
  DeferredLog log;  // before the guard: its line is written once the mutex is released
  std::lock_guard<std::mutex> lock(basic_mutex_);
  return tyr_impl::SegmentStates(latest_basic_, group_names, start_ids, dofs, log);
}

std::map<JointGroup, tyr::RobotActions> DataStream::SegmentActions(
    const std::map<JointGroup, std::string>& group_names,
    const std::map<JointGroup, int32_t>& start_ids, const std::map<JointGroup, uint64_t>& dofs) {
  std::pair<int32_t, uint32_t> basic_timestamp;
  {
    std::lock_guard<std::mutex> lock(basic_mutex_);
    basic_timestamp = latest_basic_.timestamp;
  }
  // Never both mutexes at once: only the destructor holds the two together.
  DeferredLog log;  // before the guard: its line is written once the mutex is released
  std::lock_guard<std::mutex> lock(extra_mutex_);
  return tyr_impl::SegmentActions(basic_timestamp, latest_extra_, group_names, start_ids, dofs,
                                  log);
}

}  // namespace tyr_impl
}  // namespace korvan
