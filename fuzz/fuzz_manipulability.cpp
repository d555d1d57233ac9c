// Reads a manipulability reply decoded from the input and scores it, as
// Client::configuration_score does through DataRpc::GetManipulability. A reply whose containers
// differ in length leaves the map as it was; every score of an accepted reply lies in 0 to 100,
// one pair per joint group of the reply.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

#include "common/kvn_state.h"
#include "fuzz/fuzz_support.h"
#include "korvantyr/korvantyr.h"
#include "messages/rpc_messages.h"
#include "rpc/configuration_score.h"

namespace {

bool IsScore(double score) { return score >= 0.0 && score <= 100.0; }  // false for NaN

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using korvan::fuzz::Expect;
  using korvan::tyr::JointGroup;
  korvan::zenoh_msgs::tyr_msg::RPCReply reply;
  if (!korvan::fuzz::DecodeAsReceived(data, size, reply)) return 0;

  const std::map<JointGroup, korvan::tyr_impl::ManipulabilityValues> before{
      {JointGroup::UNKNOWN, {1, 2, 3, 4, 5, 6}}};
  auto values = before;
  const KvnState state = korvan::tyr_impl::ManipulabilityFromReply(reply.joint_groups,
                                                                   reply.float2d_container, values);
  if (reply.joint_groups.size() != reply.float2d_container.size()) {
    Expect(state.code == kKvnStateFault && values == before,
           "a reply with mismatched containers changed the values or was accepted");
    return 0;
  }
  if (state.code != kKvnStateOk) {
    Expect(state.code == kKvnStateFault, "a result code other than 100000 and 300000");
    return 0;
  }

  const std::set<uint16_t> groups(reply.joint_groups.begin(), reply.joint_groups.end());
  const auto scores = korvan::tyr_impl::ConfigurationScores(values);
  Expect(values.size() == groups.size() && scores.size() == groups.size(),
         "not one entry per joint group of the reply");
  for (const auto& [group, pair] : scores) {
    Expect(groups.count(static_cast<uint16_t>(group)) == 1, "a score for a group not replied");
    Expect(IsScore(pair.first) && IsScore(pair.second), "a score outside 0 to 100");
  }
  return 0;
}
