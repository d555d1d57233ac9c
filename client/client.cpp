// The public Client: start-up sequence and the queries, forwarded to the implementation client.
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/serial_number.h"
#include "client/tyr_client.h"
#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"
#include "middleware/session.h"
#include "rpc/configuration_score.h"
#include "rpc/primitive_states.h"

namespace korvan::tyr {

namespace {

// Lets the first stream messages arrive before the joint groups are read from them.
constexpr auto kFirstStreamDataWait = std::chrono::milliseconds(100);

// The groups whose start index and DoF are asked for: every named group from 0 to 5, ascending.
std::vector<JointGroup> AllJointGroups() {
  std::vector<JointGroup> groups;
  for (int32_t value = 0; value <= 5; ++value) {
    const auto group = static_cast<JointGroup>(value);
    if (kJointGroupNames.count(group) != 0) groups.push_back(group);
  }
  if (groups.size() != kJointGroupNames.size() - 1) {
    throw std::logic_error("[korvan::tyr::Client] Number of all joint groups is wrong");
  }
  return groups;
}

}  // namespace

class Client::Impl {
 public:
  explicit Impl(bool verbose) : verbose(verbose) {}
  virtual ~Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  std::shared_ptr<tyr_impl::TYRClient> tyr_client;
  bool verbose;
  std::map<JointGroup, int32_t> start_ids;
  std::map<JointGroup, uint64_t> dofs;
  std::map<JointGroup, std::string> group_names;
};

Client::Client(const std::string& robot_sn, bool verbose) : impl_(std::make_unique<Impl>(verbose)) {
  if (verbose) {
    spdlog::info("| | | | | | | | | |  Korvan TYR {}  | | | | | | | | | |",
                 zenoh_mdw::kClientVersion);
  }
  const std::string serial = tyr_impl::NormalizeSerialNumber(robot_sn);

  // From here on a failure unwinds impl_, whose TYRClient logs the exit line.
  impl_->tyr_client = std::make_shared<tyr_impl::TYRClient>(verbose);
  tyr_impl::TYRClient& tyr = *impl_->tyr_client;
  tyr.Connect(serial);

  std::string server_version;
  if (tyr.data_rpc.GetServerVersion(server_version).code != kKvnStateOk) {
    throw std::runtime_error("[korvan::tyr::Client] Failed to sync TYR server version");
  }
  if (server_version != zenoh_mdw::kClientVersion) {
    throw std::logic_error(
        "[korvan::tyr::Client] Version of this client is incompatible with robot [" + serial + "]");
  }

  std::this_thread::sleep_for(kFirstStreamDataWait);
  impl_->group_names = tyr.data_stream.JointGroups();

  const std::vector<JointGroup> all_groups = AllJointGroups();
  if (tyr.data_rpc.GetStartIdAndDof(all_groups, impl_->start_ids, impl_->dofs).code !=
      kKvnStateOk) {
    throw std::runtime_error(
        "[korvan::tyr::Client] Failed to obtain robot start ID and DoF information");
  }

  if (verbose) {
    for (const auto& [group, dof] : impl_->dofs) {
      spdlog::info("[korvan::tyr::Client] Joint group: {}, DoF: {}", kJointGroupNames.at(group),
                   dof);
    }
    spdlog::info("[korvan::tyr::Client] Initialization complete");
  }
}

Client::~Client() = default;

bool Client::connected() { return impl_->tyr_client->data_rpc.Ping(); }

std::map<JointGroup, std::string> Client::groups() {
  return impl_->tyr_client->data_stream.JointGroups();
}

std::map<JointGroup, RobotStates> Client::states() {
  return impl_->tyr_client->data_stream.SegmentStates(impl_->group_names, impl_->start_ids,
                                                      impl_->dofs);
}

std::map<JointGroup, RobotActions> Client::actions() {
  return impl_->tyr_client->data_stream.SegmentActions(impl_->group_names, impl_->start_ids,
                                                       impl_->dofs);
}

std::map<JointGroup, PrimitiveStates> Client::primitive_states() {
  tyr_impl::DataRpc& data_rpc = impl_->tyr_client->data_rpc;
  return tyr_impl::QueryPrimitiveStates(
      [&data_rpc](std::vector<std::string>& strings) {
        return data_rpc.GetPrimitiveStates(strings);
      },
      impl_->group_names);
}

std::map<JointGroup, std::pair<double, double>> Client::configuration_score() {
  std::map<JointGroup, tyr_impl::ManipulabilityValues> values;
  if (impl_->tyr_client->data_rpc.GetManipulability(values).code != kKvnStateOk) {
    throw std::runtime_error("[korvan::tyr::Model::configuration_score] No reply from the robot");
  }
  return tyr_impl::ConfigurationScores(values);
}

PlanInfo Client::plan_info() {
  PlanInfo info{};
  if (impl_->tyr_client->data_rpc.GetPlanInfo(info).code != kKvnStateOk) {
    throw std::runtime_error("[korvan::tyr::Client] plan_info: No reply from the robot");
  }
  return info;
}

bool Client::estop_released() { return impl_->tyr_client->data_stream.EstopReleased(); }

bool Client::enabling_device_on() { return impl_->tyr_client->data_stream.EnablingDeviceOn(); }

std::array<bool, 20> Client::digital_inputs() {
  return impl_->tyr_client->data_stream.DigitalInputs();
}

std::array<bool, 20> Client::digital_outputs() {
  return impl_->tyr_client->data_stream.DigitalOutputs();
}

}  // namespace korvan::tyr
