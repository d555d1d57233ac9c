// A log line decided while a lock is held and written only once that lock is released. Writing a
// line can block for as long as the process's output is not drained (a full pipe, a stalled
// terminal); a thread blocked there must not hold a mutex that Zenoh's sample handlers or another
// query need. An operation formats its line into a DeferredLog at once (the text is owned here,
// nothing refers to the locked data afterwards) and the line goes to the default logger when
// Write() is called or the DeferredLog is destroyed: declared before the lock guard, it is
// destroyed after the guard. Holds at most one line; used by one thread at a time.
#pragma once

#include <spdlog/spdlog.h>

#include <string>
#include <utility>

namespace korvan::tyr_impl {

class DeferredLog {
 public:
  DeferredLog() = default;
  ~DeferredLog() { Write(); }
  DeferredLog(const DeferredLog&) = delete;
  DeferredLog& operator=(const DeferredLog&) = delete;

  // Records an error line with spdlog's formatting, replacing a line recorded before.
  template <class... Args>
  void Error(spdlog::format_string_t<Args...> format, Args&&... args) {
    text_ = fmt::format(format, std::forward<Args>(args)...);
    level_ = spdlog::level::err;
    pending_ = true;
  }

  bool pending() const { return pending_; }

  // Writes the recorded line, if any, exactly as the logger would have written it at once (the
  // formatted text is the message), and forgets it.
  void Write() noexcept {
    if (!pending_) return;
    pending_ = false;
    try {
      spdlog::default_logger_raw()->log(level_, spdlog::string_view_t(text_));
    } catch (...) {
      // A failing logger must not turn a query into a crash.
    }
  }

 private:
  spdlog::level::level_enum level_ = spdlog::level::err;
  std::string text_;
  bool pending_ = false;
};

}  // namespace korvan::tyr_impl
