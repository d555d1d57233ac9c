// korvantyr-scan: lists the robots visible on this computer's network. It listens for a fixed
// window to every robot's basic stream, collects the serial numbers from the keys the samples
// arrive on, then probes each robot and asks its server version, robots in parallel, and prints
// one line per robot in serial-number order. It only listens and asks: it declares no publisher
// and no queryable, and the only queries it sends are the probe and the server version call.
//
// Threads: the main thread parses, listens and prints; Zenoh's threads run the sample callback,
// which records sightings under Sightings::mutex; probe workers each own one DataRpc and write
// only their own result slot, which the main thread reads after joining them.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "client/serial_number.h"
#include "common/kvn_state.h"
#include "middleware/robot_keys.h"
#include "middleware/session.h"
#include "middleware/zenoh.h"
#include "rpc/data_rpc.h"
#include "tools/commands.h"
#include "tools/network_check.h"
#include "tools/printable.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvan::tyr_impl::DataRpc;

constexpr const char* kProg = "korvantyr-scan";

constexpr int kExitFound = 0;
constexpr int kExitNoneSeen = 1;

constexpr double kDefaultSeconds = 1.5;
constexpr double kMaxSeconds = 3600.0;
// Probes in flight at once: enough that a handful of robots costs one probe's time, few enough
// that a crowded network does not start dozens of threads.
constexpr size_t kMaxParallelProbes = 8;
// A failed probe is repeated within its own time-out: a session that has only just learnt of a
// robot may end a query at once, before the robot's service is known to it.
constexpr auto kProbeRetryPause = std::chrono::milliseconds(100);

constexpr const char* kHelp =
    "usage: korvantyr-scan [--seconds S]\n"
    "\n"
    "Lists every robot visible on this computer's network, one line per robot, in serial-number\n"
    "order. For S seconds (default 1.5) it listens to the robots' basic data streams\n"
    "(korvan/robot/*/basic_stream_data) and collects the serial numbers they are published\n"
    "under; then it probes each robot (1 s time-out) and asks its server version (2 s), robots\n"
    "in parallel. It only listens and asks: it sends no command to any robot. Robots that\n"
    "multicast does not reach are listed as well while korvantyr-relay runs on this computer.\n"
    "\n"
    "columns:\n"
    "  SERIAL          the robot's serial number, as korvantyr.Client and the other commands take\n"
    "                  it; bytes outside printable ASCII are shown as \\xNN\n"
    "  REACHABLE       yes if the robot's data service answered the probe, otherwise no (a\n"
    "                  client could then not connect to it)\n"
    "  SERVER VERSION  the protocol version the robot's service reports, marked when it is not\n"
    "                  this client's v2.1 (a client would refuse the robot); \"no reply\" if the\n"
    "                  call went unanswered\n"
    "  BASIC STREAM    the rate at which the robot's basic stream arrived while listening\n"
    "\n"
    "options:\n"
    "  --seconds S     how long to listen for robots, 0 < S <= 3600 (default 1.5)\n"
    "  -h, --help      show this help and exit\n"
    "\n"
    "exit codes:\n"
    "  0  at least one robot seen (its line says whether it is reachable)\n"
    "  1  no robot seen, or no Zenoh session could be opened (one line on stderr says what this\n"
    "     computer shows: no interface up, none carrying multicast, nothing answering Zenoh's\n"
    "     scouting, or routers answering with no robot behind them; and what to check)\n"
    "  2  usage error\n";

// Follows "no robot seen within S s." when nothing answered Zenoh's scouting.
constexpr const char* kWhatToCheck =
    "Check that a) the Ethernet cable to the robot is plugged in and its link is "
    "up; b) multicast is allowed on this network interface; c) no firewall blocks UDP multicast "
    "(Zenoh's scouting, 224.0.0.224 port 7446) or TCP between this computer and the robot";
// Where multicast cannot reach the robot, the relay can.
constexpr const char* kRelayHint =
    "where multicast does not reach the robot (Wi-Fi, Docker, WSL2, another subnet), run "
    "'korvantyr-relay tcp/ROBOT_ADDRESS:PORT' on this computer";

using korvan::tools::UsageError;

double ParseSeconds(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) ||
      !(value > 0.0) || value > kMaxSeconds) {
    throw UsageError("--seconds takes a number of seconds above 0 and at most 3600, not '" + text +
                     "'");
  }
  return value;
}

struct Options {
  double seconds = kDefaultSeconds;
  bool help = false;
};

Options ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--seconds") {
      if (i + 1 == argc) throw UsageError("--seconds needs a value");
      options.seconds = ParseSeconds(argv[++i]);
    } else if (arg.rfind("--seconds=", 0) == 0) {
      options.seconds = ParseSeconds(arg.substr(std::string("--seconds=").size()));
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      throw UsageError("unexpected argument '" + arg +
                       "': the scan takes no serial number, it lists every robot it sees");
    }
  }
  return options;
}

using korvan::tools::Printable;

// The serial number in a basic stream key, "korvan/robot/<serial>/basic_stream_data".
std::optional<std::string_view> SerialOfBasicStreamKey(std::string_view key) {
  const std::string_view prefix = korvan::zenoh_mdw::kRobotPrefix;
  const std::string_view suffix = korvan::zenoh_mdw::kBasicStreamSuffix;
  if (key.size() <= prefix.size() + suffix.size() || key.substr(0, prefix.size()) != prefix ||
      key.substr(key.size() - suffix.size()) != suffix) {
    return std::nullopt;
  }
  return key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
}

struct Sighting {
  size_t samples = 0;
  Clock::time_point first;
  Clock::time_point last;
};

// What the sample callback saw, by serial number.
struct Sightings {
  std::mutex mutex;  // guards by_serial
  std::map<std::string, Sighting, std::less<>> by_serial;

  void Add(std::string_view serial, Clock::time_point at) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = by_serial.find(serial);
    if (it == by_serial.end()) {
      it = by_serial.emplace(std::string(serial), Sighting{0, at, at}).first;
    }
    ++it->second.samples;
    it->second.last = at;
  }
};

std::map<std::string, Sighting> Listen(const std::shared_ptr<zenoh::Session>& session,
                                       double seconds) {
  auto sightings = std::make_shared<Sightings>();
  const std::string key = korvan::zenoh_mdw::RobotKey("*", korvan::zenoh_mdw::kBasicStreamSuffix);
  {
    zenoh::Subscriber subscriber = session->declare_keyed_subscriber(
        zenoh::KeyExpr(key), [sightings](zenoh::KeyExprView key_expr, zenoh::BytesView) {
          const Clock::time_point now = Clock::now();
          if (auto serial = SerialOfBasicStreamKey(key_expr.as_string_view())) {
            sightings->Add(*serial, now);
          }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    // Undeclared here, before the probes: a robot streaming at 1 kHz costs nothing from now on.
  }
  std::lock_guard<std::mutex> lock(sightings->mutex);
  return {sightings->by_serial.begin(), sightings->by_serial.end()};
}

struct Probe {
  bool reachable = false;
  std::optional<std::string> version;
  std::string error;  // set when the probe itself failed on this side
};

Probe ProbeRobot(const std::shared_ptr<zenoh::Session>& session, const std::string& serial) {
  Probe probe;
  try {
    DataRpc rpc;
    rpc.Start(session, serial);
    const auto budget_end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(korvan::tyr_impl::kPingTimeout));
    probe.reachable = rpc.Ping();
    while (!probe.reachable && Clock::now() + kProbeRetryPause < budget_end) {
      std::this_thread::sleep_for(kProbeRetryPause);
      probe.reachable = rpc.Ping();
    }
    // Asked even of a robot that missed the probe: a service that answers this but not the
    // probe is worth telling apart from one that answers nothing.
    std::string version;
    if (rpc.GetServerVersion(version).code == kKvnStateOk) {
      probe.version = std::move(version);
    }
  } catch (const std::exception& e) {
    probe.error = e.what();
  }
  return probe;
}

// Probes every robot, at most kMaxParallelProbes at a time; results in the order of `serials`.
std::vector<Probe> ProbeAll(const std::shared_ptr<zenoh::Session>& session,
                            const std::vector<std::string>& serials) {
  std::vector<Probe> probes(serials.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < serials.size(); i = next++) {
      probes[i] = ProbeRobot(session, serials[i]);
    }
  };
  std::vector<std::thread> workers;
  const size_t count = std::min(serials.size(), kMaxParallelProbes);
  for (size_t i = 0; i < count; ++i) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();
  return probes;
}

std::string Join(const std::vector<std::string>& names) {
  std::string joined;
  for (size_t i = 0; i < names.size(); ++i) joined += (i ? ", " : "") + names[i];
  return joined;
}

std::string Rate(const Sighting& sighting) {
  const double span = std::chrono::duration<double>(sighting.last - sighting.first).count();
  if (sighting.samples < 2 || !(span > 0.0)) return std::to_string(sighting.samples) + " sample";
  const double hz = static_cast<double>(sighting.samples - 1) / span;
  char text[32];
  std::snprintf(text, sizeof text, hz < 10.0 ? "%.1f Hz" : "%.0f Hz", hz);
  return text;
}

std::string VersionText(const Probe& probe) {
  if (!probe.error.empty()) return "error: " + Printable(probe.error);
  if (!probe.version) return "no reply";
  const std::string shown = Printable(*probe.version);
  if (*probe.version == korvan::zenoh_mdw::kClientVersion) return shown;
  return shown + " (incompatible: this client speaks " + korvan::zenoh_mdw::kClientVersion + ")";
}

// A serial number that the client would change or refuse names a robot no client can reach.
bool UsableByClient(const std::string& serial) {
  try {
    return korvan::tyr_impl::NormalizeSerialNumber(serial) == serial;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

void PrintTable(const std::vector<std::vector<std::string>>& rows,
                const std::vector<std::string>& notes) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    std::string line;
    for (size_t c = 0; c < rows[r].size(); ++c) {
      line += rows[r][c];
      if (c + 1 < rows[r].size()) line.append(widths[c] - rows[r][c].size() + 2, ' ');
    }
    if (!notes[r].empty()) line += "  " + notes[r];
    std::cout << line << '\n';
  }
  std::cout.flush();
}

// What this computer shows when no robot was seen, most basic cause first.
std::string WhyNoneSeen(const zenoh::Session& session) {
  const korvan::tools::Interfaces interfaces = korvan::tools::ListInterfaces();
  if (interfaces.up.empty()) {
    return std::string("No network interface of this computer is up: connect it to the robot's "
                       "network (") + kRelayHint + ")";
  }
  if (interfaces.multicast.empty()) {
    return std::string("No interface of this computer carries multicast, which Zenoh's scouting "
                       "needs: run 'sudo ip link set lo multicast on', then ") + kRelayHint;
  }
  size_t routers = 0;
  size_t others = 0;
  try {
    for (const zenoh::LinkInfo& link : session.links()) {
      ++(link.whatami == zenoh::WhatAmI::kRouter ? routers : others);
    }
  } catch (const zenoh::ZException&) {
    // Counted as nothing answering.
  }
  if (routers > 0) {
    return "Zenoh routers answer (" + std::to_string(routers) +
           ") but no robot is behind them: check that the robot is on and that the endpoints "
           "given to korvantyr-relay (or the site router) are the robots'";
  }
  if (others > 0) {
    return "Zenoh peers answer (" + std::to_string(others) +
           ") but none publishes a robot's data: check that the robot's data service runs; " +
           kRelayHint;
  }
  return std::string("Nothing answered Zenoh's scouting on ") + Join(interfaces.multicast) +
         ". " + kWhatToCheck + "; " + kRelayHint;
}

int Scan(const Options& options) {
  std::shared_ptr<zenoh::Session> session;
  try {
    session = korvan::zenoh_mdw::AcquireSession();
  } catch (const std::exception& e) {
    std::cerr << kProg << ": cannot open a Zenoh session: " << e.what() << '\n';
    return kExitNoneSeen;
  }
  const std::map<std::string, Sighting> seen = Listen(session, options.seconds);
  if (seen.empty()) {
    char window[32];
    std::snprintf(window, sizeof window, "%g", options.seconds);
    std::cerr << kProg << ": no robot seen within " << window << " s. " << WhyNoneSeen(*session)
              << '\n';
    return kExitNoneSeen;
  }

  std::vector<std::string> serials;
  for (const auto& entry : seen) serials.push_back(entry.first);
  const std::vector<Probe> probes = ProbeAll(session, serials);

  std::vector<std::vector<std::string>> rows{
      {"SERIAL", "REACHABLE", "SERVER VERSION", "BASIC STREAM"}};
  std::vector<std::string> notes{""};
  for (size_t i = 0; i < serials.size(); ++i) {
    rows.push_back({Printable(serials[i]), probes[i].reachable ? "yes" : "no",
                    VersionText(probes[i]), Rate(seen.at(serials[i]))});
    notes.push_back(
        UsableByClient(serials[i]) ? "" : "(this client does not accept this serial number)");
  }
  PrintTable(rows, notes);
  return kExitFound;
}

}  // namespace

int ScanMain(int argc, char** argv) {
  return korvan::tools::RunCommand(
      kProg, kHelp, kExitFound, kExitNoneSeen, [&] { return ParseArguments(argc, argv); },
      [](const Options& options) { return Scan(options); });
}
