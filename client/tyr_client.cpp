#include "client/tyr_client.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "middleware/session.h"

namespace korvan::tyr_impl {

namespace {

// Probes in a row before start-up gives up; each waits for the probe's own time-out only.
constexpr int kConnectAttempts = 3;

}  // namespace

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

  // A session opened moments ago may not have discovered the robot yet, and Zenoh then ends a
  // query at once with no reply. A probe that fails early therefore still takes its whole
  // time-out before the next one, so the three probes give discovery the time they promise.
  bool reached = false;
  for (int attempt = 0; attempt < kConnectAttempts && !reached; ++attempt) {
    const auto probe_end = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(kPingTimeout));
    reached = data_rpc.Ping();
    if (!reached && attempt + 1 < kConnectAttempts) std::this_thread::sleep_until(probe_end);
  }
  if (!reached) {
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
