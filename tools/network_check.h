// What the commands check of this computer's network before they blame the robot: which
// interfaces are up and which of them Zenoh's automatic choice would scout on, and the parts of a
// TCP endpoint ("tcp/10.0.0.2:7447"). Plain functions over getifaddrs and getaddrinfo; no state.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace korvan::tools {

struct Interfaces {
  // Up, running and not loopback.
  std::vector<std::string> up;
  // Up, running, carrying multicast and an IPv4 address: where a default-configured Zenoh
  // session scouts (loopback counts once multicast is on for it).
  std::vector<std::string> multicast;
};

Interfaces ListInterfaces();

// Turns multicast on for the loopback interface, as `ip link set lo multicast on` does. False
// (errno set) when this process may not (it needs CAP_NET_ADMIN).
bool EnableLoopbackMulticast();

// A TCP endpoint as Zenoh writes it: "tcp/HOST:PORT", HOST an IPv4 address, a name or an IPv6
// address in brackets, optionally followed by Zenoh's "?metadata" or "#configuration".
struct TcpEndpoint {
  std::string text;  // as given
  std::string host;  // without brackets
  int port = 0;
};

// The endpoint's parts, or nullopt with `why` set when it is not a TCP endpoint with a port.
std::optional<TcpEndpoint> ParseTcpEndpoint(const std::string& text, std::string& why);

// Whether the host is a loopback address (127.0.0.0/8, ::1, "localhost").
bool IsLoopbackHost(const std::string& host);

// Whether the host is a wildcard address (0.0.0.0, ::): a listener on every interface.
bool IsWildcardHost(const std::string& host);

// The addresses the endpoint's host resolves to, written as Zenoh writes a link's address:
// "10.0.0.2:7447", "[fe80::1]:7447". Empty when the name does not resolve.
std::set<std::string> ResolveTcpEndpoint(const TcpEndpoint& endpoint);

}  // namespace korvan::tools
