#include "tools/network_check.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvan::tools {

namespace {

void AddOnce(std::vector<std::string>& names, const char* name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
}

}  // namespace

Interfaces ListInterfaces() {
  Interfaces found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    const unsigned flags = entry->ifa_flags;
    if (!(flags & IFF_UP) || !(flags & IFF_RUNNING)) continue;
    if (!(flags & IFF_LOOPBACK)) AddOnce(found.up, entry->ifa_name);
    if ((flags & IFF_MULTICAST) && entry->ifa_addr != nullptr &&
        entry->ifa_addr->sa_family == AF_INET) {
      AddOnce(found.multicast, entry->ifa_name);
    }
  }
  freeifaddrs(list);
  return found;
}

bool EnableLoopbackMulticast() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool done = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (done) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_MULTICAST);
    done = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return done;
}

std::optional<TcpEndpoint> ParseTcpEndpoint(const std::string& text, std::string& why) {
  const std::string prefix = "tcp/";
  if (text.rfind(prefix, 0) != 0) {
    const auto slash = text.find('/');
    why = slash == std::string::npos
              ? "'" + text + "' is not an endpoint: write it as tcp/ADDRESS:PORT"
              : "'" + text + "': only tcp/ endpoints are supported";
    return std::nullopt;
  }
  const std::string address =
      text.substr(prefix.size(), text.find_first_of("?#") - prefix.size());
  TcpEndpoint endpoint{text, "", 0};
  std::string port;
  if (!address.empty() && address[0] == '[') {
    const auto close = address.find(']');
    if (close == std::string::npos || address.compare(close + 1, 1, ":") != 0) {
      why = "'" + text + "': write an IPv6 address as tcp/[ADDRESS]:PORT";
      return std::nullopt;
    }
    endpoint.host = address.substr(1, close - 1);
    port = address.substr(close + 2);
  } else {
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || address.find(':') != colon) {
      why = "'" + text + "' names no port: write it as tcp/ADDRESS:PORT";
      return std::nullopt;
    }
    endpoint.host = address.substr(0, colon);
    port = address.substr(colon + 1);
  }
  const bool digits = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(),
                                  [](char c) { return c >= '0' && c <= '9'; });
  endpoint.port = digits ? std::stoi(port) : 0;
  if (endpoint.host.empty() || endpoint.port < 1 || endpoint.port > 65535) {
    why = "'" + text + "': the address needs a host and a port from 1 to 65535";
    return std::nullopt;
  }
  return endpoint;
}

bool IsLoopbackHost(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  in_addr v4{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool IsWildcardHost(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return v4.s_addr == INADDR_ANY;
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_UNSPECIFIED(&v6);
}

std::set<std::string> ResolveTcpEndpoint(const TcpEndpoint& endpoint) {
  std::set<std::string> addresses;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints, &found) !=
      0) {
    return addresses;
  }
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (entry->ai_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr) {
        addresses.insert(std::string(text) + ":" + std::to_string(endpoint.port));
      }
    } else if (entry->ai_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
      if (inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) != nullptr) {
        addresses.insert("[" + std::string(text) + "]:" + std::to_string(endpoint.port));
      }
    }
  }
  freeaddrinfo(found);
  return addresses;
}

}  // namespace korvan::tools
