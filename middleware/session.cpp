#include "middleware/session.h"

#include <mutex>

namespace korvan::zenoh_mdw {

std::shared_ptr<zenoh::Session> AcquireSession() {
  static std::mutex cache_mutex;  // guards cache
  static std::weak_ptr<zenoh::Session> cache;

  std::lock_guard<std::mutex> lock(cache_mutex);
  // lock() is atomic against the last holder releasing the session on another thread.
  if (std::shared_ptr<zenoh::Session> live = cache.lock()) {
    return live;
  }
  auto session = std::make_shared<zenoh::Session>(zenoh::Session::open());
  cache = session;
  return session;
}

std::string RobotKey(std::string_view serial_number, std::string_view suffix) {
  std::string key;
  key.reserve(kRobotPrefix.size() + serial_number.size() + suffix.size());
  key.append(kRobotPrefix).append(serial_number).append(suffix);
  return key;
}

}  // namespace korvan::zenoh_mdw
