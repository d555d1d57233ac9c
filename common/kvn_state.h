// Result states of internal operations: a numeric code and the category that gives it meaning,
// in the manner of an error code and its error category.
//
// Operations that may fail without it being exceptional (starting services, remote calls) return a
// KvnState made by MakeGeneralState. Callers test the code numerically; the category's texts only
// describe a state in words. The general category is one process-wide, immutable instance created
// on first use, so states may be made and read from any thread.
#pragma once

#include <cstdint>

// Severity levels of the general category, spaced 100000 apart. Only kKvnStateOk and
// kKvnStateFault are produced; the other two are named so that a reader can describe them.
constexpr int32_t kKvnStateOk = 100000;
constexpr int32_t kKvnStateWarning = 200000;
constexpr int32_t kKvnStateFault = 300000;
constexpr int32_t kKvnStateCriticalFault = 400000;

// Gives the codes of one family their name and texts.
class KvnStateCategory {
 public:
  KvnStateCategory() = default;
  KvnStateCategory(const KvnStateCategory&) = delete;
  KvnStateCategory& operator=(const KvnStateCategory&) = delete;
  virtual ~KvnStateCategory() = default;

  // Name of the category; a text with static lifetime.
  virtual const char* name() const noexcept = 0;
  // Text for `code`; a text with static lifetime, also for codes the category does not know.
  virtual const char* message(int code) const noexcept = 0;
};

// Outcome of an internal operation. A plain value: copy it freely.
struct KvnState {
  int32_t code{};
  // Interprets `code`; never null in a state made by MakeGeneralState.
  const KvnStateCategory* category{};
};

// Returns the state with `code` in the general category ("General": OK, Warning, Fault,
// Critical fault). Thread-safe; creates the category instance on the first call.
KvnState MakeGeneralState(int code);
