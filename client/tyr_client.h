// The implementation client behind the public Client: owns two handles of the process-wide Zenoh
// session and the two data components that talk to one robot. Client::Impl shares ownership of it;
// construction and every call run on the caller's thread, and the components lock what Zenoh's
// threads write into (DataStream) or wait on (DataRpc). Members are destroyed in reverse
// declaration order: the RPC client goes first, then the subscriptions, then the session handles.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "common/kvn_state.h"
#include "middleware/zenoh.h"
#include "rpc/data_rpc.h"
#include "stream/data_stream.h"

namespace korvan::tyr_impl {

// Probes in a row before start-up gives up.
inline constexpr int kConnectAttempts = 3;

using ProbeClock = std::chrono::steady_clock;

// What the start-up's connection probes take from outside: the probe itself, the clock and the
// wait, passed in so that their pacing can be followed without a robot or a real clock.
struct ProbePacing {
  std::function<ProbeOutcome()> probe;
  std::function<ProbeClock::time_point()> now;
  std::function<void(ProbeClock::time_point)> sleep_until;
};

// Probes up to `attempts` times; true as soon as one reaches the robot. A probe that got any reply
// is followed at once by the next. One that ended with no reply at all (a session that has not
// discovered the robot yet ends the query at once) first waits until `probe_timeout` after its
// start, so that the probes give discovery their whole time. Nothing waits after the last probe.
bool ProbeRobot(const ProbePacing& pacing, int attempts, ProbeClock::duration probe_timeout);

class TYRClient {
 public:
  // Acquires the shared session twice (RPC first, then streams); no traffic beyond opening it.
  // Throws zenoh::ZException when the session cannot be opened.
  explicit TYRClient(bool verbose);
  // Logs the exit line, then releases the RPC client, the subscriptions and the sessions.
  virtual ~TYRClient();
  TYRClient(const TYRClient&) = delete;
  TYRClient& operator=(const TYRClient&) = delete;

  // Starts the services for the canonical `serial` and probes the robot up to three times.
  // Throws std::runtime_error when the services do not start or no probe is answered.
  void Connect(const std::string& serial);

  // Declares the stream subscriptions and creates the RPC client. Returns 100000, or the failing
  // component's state.
  KvnState StartServices(const std::string& serial);

  std::shared_ptr<zenoh::Session> rpc_session;
  std::shared_ptr<zenoh::Session> stream_session;
  DataStream data_stream;
  DataRpc data_rpc;
  bool verbose;
};

}  // namespace korvan::tyr_impl
