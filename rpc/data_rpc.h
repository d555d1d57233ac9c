// The client's gateway to the robot's remote procedures: one operation per procedure, each of which
// builds its request, calls through the shared RPC client with a fixed time-out, checks that the
// reply echoes the request and reports success, and hands back the result or a failure state.
// Operations run on the caller's thread and block until the reply or the time-out; calls on one
// DataRpc run one after another (the RPC client's mutex). Nothing is kept between calls. Bad or
// missing replies never throw: they are logged on the default logger and answered with 300000.
// Lines are written only after the RPC client's call has returned, with none of its locks held.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"
#include "messages/rpc_messages.h"
#include "middleware/rpc_client.h"
#include "middleware/zenoh.h"
#include "rpc/configuration_score.h"

namespace korvan::tyr_impl {

// Numbers of the remote procedures the client calls; no other number is ever sent.
enum class RequestKind : uint16_t {
  kPing = 0,             // connection probe, answered with success false
  kServerVersion = 1,    // protocol version of the robot's service
  kPrimitiveStates = 3,  // primitive states of all joint groups as text entries
  kPlanInfo = 4,         // plan execution info as eight texts
  kManipulability = 9,   // manipulability values per joint group
  kStartIdAndDof = 10,   // start index and DoF per joint group
};

// Time-outs in seconds, as the RPC client takes them.
inline constexpr double kPingTimeout = 1.0;
inline constexpr double kRequestTimeout = 2.0;

// What one connection probe found: whether the robot answered it as a probe is answered, and
// whether any reply arrived at all (a rejected or undecodable one included).
struct ProbeOutcome {
  bool reached = false;
  bool replied = false;
};

class DataRpc {
 public:
  using RpcClient =
      zenoh_mdw::RpcClient<zenoh_msgs::tyr_msg::RPCRequest, zenoh_msgs::tyr_msg::RPCReply>;

  DataRpc() = default;
  DataRpc(const DataRpc&) = delete;
  DataRpc& operator=(const DataRpc&) = delete;
  virtual ~DataRpc() = default;

  // Creates the RPC client on the robot's RPC key ("korvan/robot/" + serial + "/rpc"), replacing
  // any client held before. No network traffic. Returns 100000.
  KvnState Start(std::shared_ptr<zenoh::Session> session, const std::string& serial_number);

  // Whether the robot's service answered the probe within 1.0 s. The probe's answer is a reply
  // with success false; a reply with success true counts as no answer.
  bool Ping();

  // The same probe, telling also whether any reply came back, for the start-up's pacing.
  ProbeOutcome Probe();

  // Procedure `request_id`, whose result is the reply's string_container. On success `strings` is
  // replaced by it; on failure `strings` keeps its content.
  KvnState RequestStrings(uint16_t request_id, std::vector<std::string>& strings);

  // The first string of the version reply; fails (version unchanged) when the reply has none.
  KvnState GetServerVersion(std::string& version);

  // The primitive-state texts of every joint group, as the reply gives them.
  KvnState GetPrimitiveStates(std::vector<std::string>& strings);

  // Fills `info` from the eight plan-info texts. A failing conversion may leave the fields before
  // it changed.
  KvnState GetPlanInfo(tyr::PlanInfo& info);

  // Replaces `values` by the reply's groups. A too-short packed vector fails with the groups read
  // before it in the map.
  KvnState GetManipulability(std::map<tyr::JointGroup, ManipulabilityValues>& values);

  // Asks for the start index and DoF of `groups`; the reply's groups decide the entries. Both maps
  // are replaced on success and left as they were on any failure, a malformed DoF included.
  KvnState GetStartIdAndDof(const std::vector<tyr::JointGroup>& groups,
                            std::map<tyr::JointGroup, int32_t>& start_ids,
                            std::map<tyr::JointGroup, uint64_t>& dofs);

 private:
  // Sends the request and reports whether a reply came back in time. Without a client (Start has
  // not run) the call counts as not sent.
  bool Send(const zenoh_msgs::tyr_msg::RPCRequest& request, zenoh_msgs::tyr_msg::RPCReply& reply,
            double timeout);
  // Same; `replied` tells whether any reply arrived, good or not.
  bool Send(const zenoh_msgs::tyr_msg::RPCRequest& request, zenoh_msgs::tyr_msg::RPCReply& reply,
            double timeout, bool& replied);

  // Sends `request` with kRequestTimeout and accepts only a reply that echoes its request_id and
  // reports success; logs the reason of a failure at debug level.
  bool Call(const zenoh_msgs::tyr_msg::RPCRequest& request, zenoh_msgs::tyr_msg::RPCReply& reply);

  std::shared_ptr<RpcClient> rpc_client;
};

}  // namespace korvan::tyr_impl
