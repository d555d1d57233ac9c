// Sessions opened from a configuration a command spells out, the links a session has open, and
// scouting.

#include <array>
#include <string>
#include <vector>

#include "kvn_zbridge.h"
#include "middleware/zenoh.h"

namespace zenoh {

static_assert(static_cast<int>(WhatAmI::kRouter) == ZB_WHATAMI_ROUTER);
static_assert(static_cast<int>(WhatAmI::kPeer) == ZB_WHATAMI_PEER);
static_assert(static_cast<int>(WhatAmI::kClient) == ZB_WHATAMI_CLIENT);

Session Session::open(const std::string& json5_config) {
  std::array<char, 512> reason{};
  zb_session_t* handle = nullptr;
  const ZResult code =
      zb_open_with_config(json5_config.c_str(), &handle, reason.data(), reason.size());
  if (code != kOk) {
    std::string message = "Failed to open session";
    if (reason[0] != '\0') message += std::string(": ") + reason.data();
    throw ZException(message, code);
  }
  return Session(handle);
}

namespace {

void AddLink(void* context, const char* zid, zb_whatami_t whatami, const char* src,
             const char* dst) noexcept {
  try {
    static_cast<std::vector<LinkInfo>*>(context)->push_back(
        LinkInfo{zid, static_cast<WhatAmI>(whatami), src, dst});
  } catch (...) {
    // Out of memory: the link goes unreported, the caller sees one link fewer.
  }
}

void AddHello(void* context, const char* zid, zb_whatami_t whatami) noexcept {
  try {
    static_cast<std::vector<HelloInfo>*>(context)->push_back(
        HelloInfo{zid, static_cast<WhatAmI>(whatami)});
  } catch (...) {
    // Out of memory: the node goes unreported.
  }
}

}  // namespace

std::vector<HelloInfo> Scout(uint64_t timeout_ms) {
  std::vector<HelloInfo> found;
  CheckResult(zb_scout(timeout_ms, &AddHello, &found), "Failed to scout");
  return found;
}

std::vector<LinkInfo> Session::links() const {
  std::vector<LinkInfo> links;
  CheckResult(zb_session_links(handle_, &AddLink, &links), "Failed to list links");
  return links;
}

}  // namespace zenoh
