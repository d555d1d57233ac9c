// Captures what is logged through spdlog's default logger. While a LogCapture lives, the default
// logger is one that writes into it; its destructor puts the previous default logger back. Lines
// arrive on whichever thread logs (the sink's mutex guards them) and are read on the test thread.
// Captures may nest on one thread; each ends before the one it replaced.
// BlockingLog stands for an output that nobody drains: every line written to it blocks its writer
// until the test releases it.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace korvan::test {

struct LogLine {
  spdlog::level::level_enum level;
  std::string text;

  bool operator==(const LogLine& other) const {
    return level == other.level && text == other.text;
  }
};

inline std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << spdlog::level::to_string_view(line.level).data() << ": " << line.text;
}

class LogCapture {
 public:
  // Keeps lines at `level` and above; spdlog::level::off silences the default logger instead.
  explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace)
      : previous_(spdlog::default_logger()), sink_(std::make_shared<Sink>()) {
    auto logger = std::make_shared<spdlog::logger>("captured", sink_);
    logger->set_level(level);
    spdlog::set_default_logger(std::move(logger));
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const { return sink_->Lines(); }

  // The texts of the lines at exactly `level`.
  std::vector<std::string> At(spdlog::level::level_enum level) const {
    std::vector<std::string> texts;
    for (const LogLine& line : Lines()) {
      if (line.level == level) texts.push_back(line.text);
    }
    return texts;
  }

  // Each line as "level|text".
  std::vector<std::string> Tagged() const {
    std::vector<std::string> tagged;
    for (const LogLine& line : Lines()) {
      tagged.push_back(std::string(spdlog::level::to_string_view(line.level).data()) + "|" +
                       line.text);
    }
    return tagged;
  }

  bool Has(spdlog::level::level_enum level, const std::string& text) const {
    for (const LogLine& line : Lines()) {
      if (line.level == level && line.text == text) return true;
    }
    return false;
  }

  size_t CountContaining(const std::string& part) const {
    size_t count = 0;
    for (const LogLine& line : Lines()) count += line.text.find(part) != std::string::npos;
    return count;
  }

  // Every line as "level: text\n", for failure messages.
  std::string Dump() const {
    std::string all;
    for (const LogLine& line : Lines()) {
      all +=
          std::string(spdlog::level::to_string_view(line.level).data()) + ": " + line.text + "\n";
    }
    return all;
  }

 private:
  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    std::vector<LogLine> Lines() {
      std::lock_guard<std::mutex> lock(mutex_);
      return lines_;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

   private:
    std::vector<LogLine> lines_;  // guarded by the base sink's mutex_
  };

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<Sink> sink_;
};

// While it lives, the default logger is one whose every write blocks inside the sink (holding the
// sink's mutex, as a write into a full pipe does) until Release(), or until `limit` has passed
// since construction, so that a failing test ends instead of hanging. The lines are kept. Every
// thread that logs must have returned before the destructor runs, which releases the writers and
// puts the previous default logger back.
class BlockingLog {
 public:
  explicit BlockingLog(std::chrono::nanoseconds limit)
      : previous_(spdlog::default_logger()),
        gate_(std::make_shared<Gate>(std::chrono::steady_clock::now() + limit)),
        sink_(std::make_shared<Sink>(gate_)) {
    auto logger = std::make_shared<spdlog::logger>("blocking", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(std::move(logger));
  }
  ~BlockingLog() {
    Release();
    spdlog::set_default_logger(previous_);
  }
  BlockingLog(const BlockingLog&) = delete;
  BlockingLog& operator=(const BlockingLog&) = delete;

  // True once a writer is blocked in the sink; false if none was within `within`.
  bool AwaitBlocked(std::chrono::nanoseconds within) {
    std::unique_lock<std::mutex> lock(gate_->mutex);
    return gate_->changed.wait_for(lock, within, [this] { return gate_->blocked > 0; });
  }

  // Lets every blocked and later writer through.
  void Release() {
    std::lock_guard<std::mutex> lock(gate_->mutex);
    gate_->released = true;
    gate_->changed.notify_all();
  }

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(gate_->mutex);
    return gate_->lines;
  }

 private:
  struct Gate {
    explicit Gate(std::chrono::steady_clock::time_point deadline) : deadline(deadline) {}
    const std::chrono::steady_clock::time_point deadline;
    mutable std::mutex mutex;  // guards released, blocked and lines
    std::condition_variable changed;
    bool released = false;
    int blocked = 0;  // writers that have reached the sink
    std::vector<LogLine> lines;
  };

  class Sink : public spdlog::sinks::base_sink<std::mutex> {
   public:
    explicit Sink(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      std::unique_lock<std::mutex> lock(gate_->mutex);
      gate_->lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
      ++gate_->blocked;
      gate_->changed.notify_all();
      gate_->changed.wait_until(lock, gate_->deadline, [this] { return gate_->released; });
    }
    void flush_() override {}

   private:
    std::shared_ptr<Gate> gate_;
  };

  std::shared_ptr<spdlog::logger> previous_;
  std::shared_ptr<Gate> gate_;
  std::shared_ptr<Sink> sink_;
};

}  // namespace korvan::test
