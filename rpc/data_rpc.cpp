#include "rpc/data_rpc.h"

#include <spdlog/spdlog.h>

#include <utility>

#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "rpc/plan_info.h"
#include "rpc/start_id_and_dof.h"

namespace korvan::tyr_impl {

namespace {

using zenoh_msgs::tyr_msg::RPCReply;
using zenoh_msgs::tyr_msg::RPCRequest;

RPCRequest MakeRequest(RequestKind kind) {
  RPCRequest request;
  request.request_id = static_cast<uint16_t>(kind);
  return request;
}

}  // namespace

KvnState DataRpc::Start(std::shared_ptr<zenoh::Session> session, const std::string& serial_number) {
  const std::string topic = zenoh_mdw::RobotKey(serial_number, zenoh_mdw::kRpcSuffix);
  spdlog::debug("[korvan::tyr::Client] Creating RPC client on topic: {}", topic);
  rpc_client = std::make_shared<RpcClient>(std::move(session), topic);
  return MakeGeneralState(kKvnStateOk);
}

bool DataRpc::Send(const RPCRequest& request, RPCReply& reply, double timeout) {
  bool replied = false;
  return Send(request, reply, timeout, replied);
}

bool DataRpc::Send(const RPCRequest& request, RPCReply& reply, double timeout, bool& replied) {
  replied = false;
  if (rpc_client && rpc_client->SendRequestAndGetReply(request, reply, timeout, replied)) {
    return true;
  }
  spdlog::debug("Failed to send remote call or server reply timeout");
  return false;
}

bool DataRpc::Call(const RPCRequest& request, RPCReply& reply) {
  if (!Send(request, reply, kRequestTimeout)) return false;
  if (reply.request_id != request.request_id || !reply.success) {
    spdlog::debug("Remote procedure failed");
    return false;
  }
  return true;
}

bool DataRpc::Ping() { return Probe().reached; }

ProbeOutcome DataRpc::Probe() {
  const RPCRequest request = MakeRequest(RequestKind::kPing);
  RPCReply reply;
  ProbeOutcome outcome;
  if (!Send(request, reply, kPingTimeout, outcome.replied)) return outcome;
  // The probe is the one procedure whose good answer reports no success.
  if (reply.request_id != request.request_id || reply.success) {
    spdlog::debug("Remote procedure failed");
    return outcome;
  }
  outcome.reached = true;
  return outcome;
}

KvnState DataRpc::RequestStrings(uint16_t request_id, std::vector<std::string>& strings) {
  RPCRequest request;
  request.request_id = request_id;
  RPCReply reply;
  if (!Call(request, reply)) return MakeGeneralState(kKvnStateFault);

  spdlog::debug(
      "[korvan::tyr::DataRpc] RPC reply request_id={} success={} string_container_size={}",
      reply.request_id, reply.success, reply.string_container.size());
  for (size_t i = 0; i < reply.string_container.size(); ++i) {
    spdlog::debug("[korvan::tyr::DataRpc] string_container[{}] = {}", i, reply.string_container[i]);
  }
  strings = std::move(reply.string_container);
  return MakeGeneralState(kKvnStateOk);
}

KvnState DataRpc::GetServerVersion(std::string& version) {
  std::vector<std::string> strings;
  const KvnState state =
      RequestStrings(static_cast<uint16_t>(RequestKind::kServerVersion), strings);
  if (state.code != kKvnStateOk || strings.empty()) return MakeGeneralState(kKvnStateFault);
  version = strings.front();
  spdlog::debug("Received TYR server version = {}", version);
  return MakeGeneralState(kKvnStateOk);
}

KvnState DataRpc::GetPrimitiveStates(std::vector<std::string>& strings) {
  return RequestStrings(static_cast<uint16_t>(RequestKind::kPrimitiveStates), strings);
}

KvnState DataRpc::GetPlanInfo(tyr::PlanInfo& info) {
  std::vector<std::string> strings;
  const KvnState state = RequestStrings(static_cast<uint16_t>(RequestKind::kPlanInfo), strings);
  if (state.code != kKvnStateOk) return MakeGeneralState(kKvnStateFault);
  return PlanInfoFromStrings(strings, info);
}

KvnState DataRpc::GetManipulability(std::map<tyr::JointGroup, ManipulabilityValues>& values) {
  RPCReply reply;
  if (!Call(MakeRequest(RequestKind::kManipulability), reply)) {
    return MakeGeneralState(kKvnStateFault);
  }
  return ManipulabilityFromReply(reply.joint_groups, reply.float2d_container, values);
}

KvnState DataRpc::GetStartIdAndDof(const std::vector<tyr::JointGroup>& groups,
                                   std::map<tyr::JointGroup, int32_t>& start_ids,
                                   std::map<tyr::JointGroup, uint64_t>& dofs) {
  RPCRequest request = MakeRequest(RequestKind::kStartIdAndDof);
  request.joint_groups.reserve(groups.size());
  for (tyr::JointGroup group : groups) {
    request.joint_groups.push_back(static_cast<uint16_t>(static_cast<int32_t>(group)));
  }
  RPCReply reply;
  if (!Call(request, reply)) return MakeGeneralState(kKvnStateFault);
  return StartIdAndDofFromReply(reply.joint_groups, reply.int_container, reply.float_container,
                                start_ids, dofs);
}

}  // namespace korvan::tyr_impl
