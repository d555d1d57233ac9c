// korvantyr-relay: lets the default-configured clients on this computer reach robots that
// multicast scouting cannot find (Wi-Fi, Docker, WSL2, another subnet), with Zenoh's own routing.
// Two router-mode sessions run in this process, chained over loopback:
//   - the local router listens where the clients are (loopback unless --listen says otherwise),
//     answers their multicast scouting and connects to nothing;
//   - the uplink router connects to the robots' endpoints and to the local router, listens
//     nowhere and answers no scouting.
// A client then has one link, to the local router, and every sample and query goes client ->
// local router -> uplink router -> robot. A single router would instead hand the robot's address
// to the client, which then tries to reach the robot itself. Neither router gossips, so no
// address is passed on. Zenoh reconnects to a lost endpoint by itself. Neither router waits for
// scouting when it opens (Zenoh's router otherwise pauses 0.5 s there), so the relay is ready
// sooner after a restart.
//
// Threads: SIGINT and SIGTERM are blocked before any Zenoh thread starts, so only the main thread
// takes them, in sigtimedwait; between two signals it looks at the uplink router's links and
// prints what changed. Nothing is shared with Zenoh's threads.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "middleware/zenoh.h"
#include "tools/commands.h"
#include "tools/network_check.h"

namespace {

using Clock = std::chrono::steady_clock;
using korvan::tools::TcpEndpoint;

constexpr const char* kProg = "korvantyr-relay";

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kDefaultListen = "tcp/127.0.0.1:7447";
// How often the links are looked at: a change is printed within this.
constexpr long kPollMilliseconds = 200;
// A robot endpoint not reached within this is reported once, so that a wrong address shows.
constexpr auto kSlowConnect = std::chrono::seconds(5);
// How long the relay listens for answers when it looks at what scouting finds on this computer.
constexpr uint64_t kScoutMilliseconds = 1000;
// How often a name that did not resolve is looked up again.
constexpr auto kResolveAgain = std::chrono::seconds(5);

constexpr const char* kHelp =
    "usage: korvantyr-relay [--listen ENDPOINT]... ENDPOINT [ENDPOINT...]\n"
    "\n"
    "Lets every korvantyr client on this computer reach the robots behind the given endpoints\n"
    "when multicast cannot carry Zenoh's scouting between them: a laptop on Wi-Fi, a Docker\n"
    "bridge network, WSL2, a robot on another subnet. ENDPOINT is a robot's Zenoh endpoint,\n"
    "tcp/ROBOT_ADDRESS:PORT (the robot must listen there), or a Zenoh router's (a site router\n"
    "with a fleet behind it). The clients need no change: they find the relay by scouting on\n"
    "this computer and every sample and query passes through it. It runs until Ctrl-C or\n"
    "SIGTERM and prints one line each time an endpoint is connected, lost or back; it\n"
    "reconnects by itself.\n"
    "\n"
    "Built on Zenoh's router mode: a local router where the clients are, chained to an uplink\n"
    "router that connects to the endpoints.\n"
    "\n"
    "options:\n"
    "  --listen ENDPOINT  where the clients reach the relay (default tcp/127.0.0.1:7447, this\n"
    "                     computer only); another address shares the robots with every\n"
    "                     computer that reaches it: Zenoh's traffic is neither authenticated\n"
    "                     nor encrypted. Repeatable.\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "exit codes:\n"
    "  0  ended by Ctrl-C or SIGTERM\n"
    "  1  cannot listen, or no interface of this computer carries multicast and this process\n"
    "     may not turn it on for loopback (one line on stderr says what to run)\n"
    "  2  usage error\n";

using korvan::tools::UsageError;

struct Options {
  std::vector<TcpEndpoint> listen;
  std::vector<TcpEndpoint> endpoints;
  bool help = false;
};

TcpEndpoint ParseEndpointArgument(const std::string& text) {
  std::string why;
  std::optional<TcpEndpoint> endpoint = korvan::tools::ParseTcpEndpoint(text, why);
  if (!endpoint) throw UsageError(why);
  return *endpoint;
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--listen") {
      if (i + 1 == argc) throw UsageError("--listen needs an endpoint");
      options.listen.push_back(ParseEndpointArgument(argv[++i]));
    } else if (arg.rfind("--listen=", 0) == 0) {
      options.listen.push_back(ParseEndpointArgument(arg.substr(std::string("--listen=").size())));
    } else if (!arg.empty() && arg[0] == '-') {
      throw UsageError("unknown option '" + arg + "'");
    } else {
      options.endpoints.push_back(ParseEndpointArgument(arg));
    }
  }
  if (options.help) return options;
  if (options.endpoints.empty()) {
    throw UsageError("give the endpoint of at least one robot or router, tcp/ADDRESS:PORT");
  }
  if (options.listen.empty()) {
    std::string unused;
    options.listen.push_back(*korvan::tools::ParseTcpEndpoint(kDefaultListen, unused));
  }
  for (const TcpEndpoint& endpoint : options.endpoints) {
    for (const TcpEndpoint& listen : options.listen) {
      if (endpoint.text == listen.text) {
        throw UsageError("'" + endpoint.text + "' is where the relay listens, not a robot");
      }
    }
  }
  return options;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::string list = "[";
  for (size_t i = 0; i < items.size(); ++i) list += (i ? ", " : "") + JsonString(items[i]);
  return list + "]";
}

// The local router: found by the clients' scouting, reached on its listeners only.
std::string LocalRouterConfig(const std::vector<TcpEndpoint>& listen) {
  std::vector<std::string> endpoints;
  for (const TcpEndpoint& endpoint : listen) endpoints.push_back(endpoint.text);
  return "{mode: \"router\", listen: {endpoints: " + JsonList(endpoints) +
         "}, connect: {endpoints: []}, scouting: {delay: 0, multicast: {enabled: true, listen: "
         "true}, gossip: {enabled: false}}}";
}

// Where the uplink router reaches the local router: its first listener, a wildcard address
// replaced with loopback.
std::string LocalRouterAddress(const TcpEndpoint& listen) {
  if (!korvan::tools::IsWildcardHost(listen.host)) return listen.text;
  const bool v6 = listen.host.find(':') != std::string::npos;
  return std::string("tcp/") + (v6 ? "[::1]" : "127.0.0.1") + ":" + std::to_string(listen.port);
}

// The uplink router: connects to every endpoint and retries for ever (Zenoh's router default),
// at most every 2 s so that a robot that comes back is found soon.
std::string UplinkRouterConfig(const std::vector<TcpEndpoint>& endpoints,
                               const std::string& local_router) {
  std::vector<std::string> connect;
  for (const TcpEndpoint& endpoint : endpoints) connect.push_back(endpoint.text);
  connect.push_back(local_router);
  return "{mode: \"router\", listen: {endpoints: []}, connect: {endpoints: " + JsonList(connect) +
         ", retry: {period_init_ms: 500, period_max_ms: 2000, period_increase_factor: 2}}, "
         "scouting: {delay: 0, multicast: {enabled: false}, gossip: {enabled: false}}}";
}

void Say(const std::string& line) {
  std::cout << kProg << ": " << line << std::endl;
}

const char* KindOf(zenoh::WhatAmI whatami) {
  switch (whatami) {
    case zenoh::WhatAmI::kRouter:
      return "router";
    case zenoh::WhatAmI::kPeer:
      return "peer";
    case zenoh::WhatAmI::kClient:
      return "client";
  }
  return "node";
}

// One endpoint the uplink router connects to, and what was last said of it.
struct Watched {
  enum class State { kWaiting, kConnected, kLost };

  TcpEndpoint endpoint;
  std::set<std::string> addresses;  // what it resolved to, as Zenoh writes a link's address
  Clock::time_point resolved_at;
  State state = State::kWaiting;
  bool slow_reported = false;
  bool direct_reported = false;
  std::string zid;  // of the node at its far end, once connected

  void Resolve(Clock::time_point now) {
    addresses = korvan::tools::ResolveTcpEndpoint(endpoint);
    resolved_at = now;
  }

  // The link to this endpoint, if one is open.
  const zenoh::LinkInfo* Find(const std::vector<zenoh::LinkInfo>& links) const {
    for (const zenoh::LinkInfo& link : links) {
      const std::string prefix = "tcp/";
      if (link.dst.rfind(prefix, 0) == 0 && addresses.count(link.dst.substr(prefix.size()))) {
        return &link;
      }
    }
    return nullptr;
  }
};

// Returns whether the endpoint became connected in this round.
bool Report(Watched& watched, const std::vector<zenoh::LinkInfo>& links, Clock::time_point now,
            Clock::time_point started) {
  if (watched.addresses.empty() && now - watched.resolved_at >= kResolveAgain) {
    watched.Resolve(now);
  }
  const zenoh::LinkInfo* link = watched.Find(links);
  const std::string& name = watched.endpoint.text;
  if (link != nullptr && watched.state != Watched::State::kConnected) {
    Say(name + (watched.state == Watched::State::kLost ? " back (" : " connected (") +
        KindOf(link->whatami) + " " + link->zid + ")");
    watched.state = Watched::State::kConnected;
    watched.zid = link->zid;
    return true;
  } else if (link == nullptr && watched.state == Watched::State::kConnected) {
    Say(name + " lost; reconnecting");
    watched.state = Watched::State::kLost;
  } else if (link == nullptr && watched.state == Watched::State::kWaiting &&
             !watched.slow_reported && now - started >= kSlowConnect) {
    Say(name + (watched.addresses.empty() ? " does not resolve to an address; still trying"
                                          : " not reached yet; still trying"));
    watched.slow_reported = true;
  }
  return false;
}

// What scouting on this computer finds, looked at once the relay is up and whenever an endpoint
// connects: a relayed robot that scouting reaches as well (its clients would connect to it
// directly too and receive each of its samples twice), and another Zenoh router (a client routes
// through one router at a time, which may not be this relay). Each is said once.
struct ScoutChecks {
  std::string local_zid;  // the local router's, which answers scouting here itself
  std::set<std::string> reported_routers;
};

void ReportScouted(std::vector<Watched>& watched, ScoutChecks& checks) {
  std::vector<zenoh::HelloInfo> answered;
  try {
    answered = zenoh::Scout(kScoutMilliseconds);
  } catch (const zenoh::ZException&) {
    return;
  }
  for (const zenoh::HelloInfo& hello : answered) {
    bool relayed = false;
    for (Watched& entry : watched) {
      if (entry.state != Watched::State::kConnected || hello.zid != entry.zid) continue;
      relayed = true;
      if (entry.direct_reported) continue;
      Say(entry.endpoint.text +
          " also answers Zenoh's scouting on this computer: clients here reach it directly as "
          "well and would receive its data twice; relay only robots that multicast does not "
          "reach");
      entry.direct_reported = true;
    }
    if (!relayed && hello.whatami == zenoh::WhatAmI::kRouter && hello.zid != checks.local_zid &&
        checks.reported_routers.insert(hello.zid).second) {
      Say("another Zenoh router answers scouting on this computer (" + hello.zid +
          "): a client routes through one router at a time, so clients here may not reach the "
          "relayed robots; give every endpoint to one relay");
    }
  }
}

// The local router's Zenoh id: the far end of the uplink router's link to it.
std::string LocalRouterZid(const std::vector<zenoh::LinkInfo>& links,
                           const std::set<std::string>& local_addresses) {
  for (const zenoh::LinkInfo& link : links) {
    const std::string prefix = "tcp/";
    if (link.dst.rfind(prefix, 0) == 0 && local_addresses.count(link.dst.substr(prefix.size()))) {
      return link.zid;
    }
  }
  return "";
}

// Clients find the relay only by multicast scouting: without an interface that carries it they
// never would. Loopback can carry it; turned on here when this process may.
bool EnsureMulticastInterface() {
  if (!korvan::tools::ListInterfaces().multicast.empty()) return true;
  if (korvan::tools::EnableLoopbackMulticast() &&
      !korvan::tools::ListInterfaces().multicast.empty()) {
    Say("no interface of this computer carried multicast, so clients could not find the relay; "
        "turned it on for loopback (as 'ip link set lo multicast on' does)");
    return true;
  }
  std::cerr << kProg
            << ": no interface of this computer carries multicast, so clients cannot find the "
               "relay: run 'sudo ip link set lo multicast on' and start the relay again\n";
  return false;
}

std::string Joined(const std::vector<TcpEndpoint>& endpoints) {
  std::string text;
  for (size_t i = 0; i < endpoints.size(); ++i) text += (i ? ", " : "") + endpoints[i].text;
  return text;
}

int Relay(const Options& options) {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  // Before any Zenoh thread exists, so that they all inherit the mask and only sigtimedwait
  // below takes these signals.
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  if (!EnsureMulticastInterface()) return kExitFailed;

  std::optional<zenoh::Session> local;
  try {
    local.emplace(zenoh::Session::open(LocalRouterConfig(options.listen)));
  } catch (const zenoh::ZException& e) {
    std::cerr << kProg << ": cannot listen on " << Joined(options.listen) << ": " << e.what()
              << '\n';
    return e.code() == zenoh::kErrParse ? kExitUsage : kExitFailed;
  }
  std::optional<zenoh::Session> uplink;
  try {
    uplink.emplace(zenoh::Session::open(
        UplinkRouterConfig(options.endpoints, LocalRouterAddress(options.listen.front()))));
  } catch (const zenoh::ZException& e) {
    std::cerr << kProg << ": cannot start the connection to " << Joined(options.endpoints)
              << ": " << e.what() << '\n';
    return e.code() == zenoh::kErrParse ? kExitUsage : kExitFailed;
  }

  bool only_here = true;
  for (const TcpEndpoint& listen : options.listen) {
    only_here = only_here && korvan::tools::IsLoopbackHost(listen.host);
  }
  Say("relaying " + Joined(options.endpoints) + " to the clients on " +
      (only_here ? "this computer (" + Joined(options.listen) + ")"
                 : Joined(options.listen) +
                       ": shared on purpose with every computer that reaches it (Zenoh's "
                       "traffic is neither authenticated nor encrypted)"));

  const Clock::time_point started = Clock::now();
  std::vector<Watched> watched;
  for (const TcpEndpoint& endpoint : options.endpoints) {
    watched.emplace_back();
    watched.back().endpoint = endpoint;
    watched.back().Resolve(started);
  }
  std::string unused;
  const std::set<std::string> local_addresses = korvan::tools::ResolveTcpEndpoint(
      *korvan::tools::ParseTcpEndpoint(LocalRouterAddress(options.listen.front()), unused));
  ScoutChecks checks;
  const timespec poll{0, kPollMilliseconds * 1000000L};
  int signal_number = -1;
  while (signal_number < 0) {
    std::vector<zenoh::LinkInfo> links;
    try {
      links = uplink->links();
    } catch (const zenoh::ZException&) {
      // Nothing to compare this round; the next one asks again.
    }
    const Clock::time_point now = Clock::now();
    bool scout = false;
    for (Watched& entry : watched) scout = Report(entry, links, now, started) || scout;
    if (checks.local_zid.empty()) {
      checks.local_zid = LocalRouterZid(links, local_addresses);
      scout = scout || !checks.local_zid.empty();
    }
    if (scout) ReportScouted(watched, checks);
    signal_number = sigtimedwait(&stop_signals, nullptr, &poll);
  }
  uplink.reset();
  local.reset();
  Say(std::string("stopped (") + (signal_number == SIGINT ? "Ctrl-C" : "SIGTERM") + ")");
  return kExitStopped;
}

}  // namespace

int RelayMain(int argc, char** argv) {
  return korvan::tools::RunCommand(
      kProg, kHelp, kExitStopped, kExitFailed, [&] { return ParseArguments(argc, argv); },
      [](const Options& options) { return Relay(options); });
}
