// Receiver of a robot's two data streams: keeps the latest basic and extra message and answers the
// flag, I/O, joint-group and segmentation queries from them.
// Owned by value by the implementation client. Zenoh's threads hand samples over through
// OnBasicData / OnExtraData; any thread may query. Each latest message is guarded by its own mutex
// and no operation holds both, except the destructor, which first ends both subscriptions (waiting
// for a handler still decoding or handing over) and then takes both mutexes together. No line is
// logged while a mutex is held: a query that finds the data inconsistent writes its line after
// the release, so a log write that blocks never holds up a hand-over or another query.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "common/kvn_state.h"
#include "korvantyr/korvantyr.h"
#include "messages/stream_messages.h"
#include "middleware/subscriber.h"
#include "middleware/zenoh.h"

namespace korvan {
namespace tyr_impl {

class DataStream {
 public:
  DataStream() = default;
  // Returns only when no sample of either stream is being decoded or handed over any more.
  virtual ~DataStream();
  DataStream(const DataStream&) = delete;
  DataStream& operator=(const DataStream&) = delete;

  // Subscribes to "korvan/robot/<robot_sn>/basic_stream_data" and ".../extra_stream_data" on
  // `session`, replacing any subscriptions held before. Returns the general state 100000; a
  // subscription that cannot be created throws zenoh::ZException (a basic one already created
  // stays in place).
  KvnState Start(const std::shared_ptr<zenoh::Session>& session, const std::string& robot_sn);

  // Hand-over of a decoded sample from its receive buffer; run by the subscriptions.
  void OnBasicData();
  void OnExtraData();

  // Safety flags and digital I/O of the latest basic message (false before the first one).
  bool EstopReleased();
  bool EnablingDeviceOn();
  std::array<bool, 20> DigitalInputs();
  std::array<bool, 20> DigitalOutputs();

  // The joint groups named by the latest basic message, with their names. A number above 5: one
  // error line and an empty map. A number in range without a name (1): throws std::out_of_range.
  std::map<tyr::JointGroup, std::string> JointGroups();

  // Per-group records cut from the latest basic / extra message with the client's start-up
  // tables; an inconsistency gives one error line and an empty map.
  std::map<tyr::JointGroup, tyr::RobotStates> SegmentStates(
      const std::map<tyr::JointGroup, std::string>& group_names,
      const std::map<tyr::JointGroup, int32_t>& start_ids,
      const std::map<tyr::JointGroup, uint64_t>& dofs);
  std::map<tyr::JointGroup, tyr::RobotActions> SegmentActions(
      const std::map<tyr::JointGroup, std::string>& group_names,
      const std::map<tyr::JointGroup, int32_t>& start_ids,
      const std::map<tyr::JointGroup, uint64_t>& dofs);

 private:
  using BasicData = zenoh_msgs::tyr_msg::AllBasicStreamData;
  using ExtraData = zenoh_msgs::tyr_msg::AllExtraStreamData;

  // Members are destroyed in reverse order, which would put these after the buffers they write:
  // the destructor therefore releases them before anything else.
  std::shared_ptr<zenoh_mdw::Subscriber<BasicData>> basic_subscriber_;
  std::shared_ptr<zenoh_mdw::Subscriber<ExtraData>> extra_subscriber_;

  // Written only by their subscription's handler, one sample at a time; read only in the hand-over.
  BasicData basic_buffer_;
  ExtraData extra_buffer_;

  BasicData latest_basic_;
  ExtraData latest_extra_;

  std::mutex basic_mutex_;  // guards latest_basic_
  std::mutex extra_mutex_;  // guards latest_extra_
};

}  // namespace tyr_impl
}  // namespace korvan
