#include "client/tyr_client.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "middleware/session.h"

namespace korvan::tyr_impl {

bool ProbeRobot(const ProbePacing& pacing, int attempts, ProbeClock::duration probe_timeout) {
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const ProbeClock::time_point probe_end = pacing.now() + probe_timeout;
    const ProbeOutcome outcome = pacing.probe();
    if (outcome.reached) return true;
    // A probe that nobody answered may only have been too early for discovery: it keeps its
    // whole time. One that got any reply has reached the robot's service.
    if (!outcome.replied && attempt + 1 < attempts) pacing.sleep_until(probe_end);
  }
  return false;
}

TYRClient::TYRClient(bool verbose)
    : rpc_session(zenoh_mdw::AcquireSession()),
      stream_session(zenoh_mdw::AcquireSession()),
      verbose(verbose) {}

TYRClient::~TYRClient() { spdlog::info(">>>>> Korvan TYR exited <<<<<"); }

KvnState TYRClient::StartServices(const std::string& serial) {
  spdlog::debug("[korvan::tyr::Client] Starting communication services ...");
  const KvnState stream_state = data_stream.Start(stream_session, serial);
  if (stream_state.code >= kKvnStateFault) return stream_state;
  const KvnState rpc_state = data_rpc.Start(rpc_session, serial);
  if (rpc_state.code >= kKvnStateFault) return rpc_state;
  spdlog::debug("[korvan::tyr::Client] Communication services started");
  return MakeGeneralState(kKvnStateOk);
}

void TYRClient::Connect(const std::string& serial) {
  if (StartServices(serial).code != kKvnStateOk) {
    throw std::runtime_error("[korvan::tyr::Client] Failed to start communication services");
  }
  if (verbose) spdlog::info("[korvan::tyr::Client] Searching for [{}] ...", serial);

  const ProbePacing pacing{
      [this] { return data_rpc.Probe(); }, [] { return ProbeClock::now(); },
      [](ProbeClock::time_point until) { std::this_thread::sleep_until(until); }};
  const auto probe_timeout =
      std::chrono::duration_cast<ProbeClock::duration>(std::chrono::duration<double>(kPingTimeout));
  if (!ProbeRobot(pacing, kConnectAttempts, probe_timeout)) {
    throw std::runtime_error(
        "[korvan::tyr::Client] Failed to connect to [" + serial +
        "]. Please check that: a) Ethernet connection with the target robot is established; b) "
        "The specified serial number of the target robot is correct; c) No firewall is active "
        "or this TYR program is whitelisted; d) TYR version is compatible with the target "
        "robot's software version");
  }
  spdlog::info("[korvan::tyr::Client] Connected to the robot");
}

}  // namespace korvan::tyr_impl
