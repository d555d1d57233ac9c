#include "common/kvn_state.h"

namespace {

class KvnGeneralStateCategoryImpl final : public KvnStateCategory {
 public:
  const char* name() const noexcept override { return "General"; }

  const char* message(int code) const noexcept override {
    switch (code) {
      case kKvnStateOk:
        return "OK";
      case kKvnStateWarning:
        return "Warning";
      case kKvnStateFault:
        return "Fault";
      case kKvnStateCriticalFault:
        return "Critical fault";
      default:
        return "(unrecognized)";
    }
  }
};

}  // namespace

KvnState MakeGeneralState(int code) {
  // A function-local static: built once on first use (thread-safe), destroyed at process exit.
  static const KvnGeneralStateCategoryImpl general_category;
  return KvnState{code, &general_category};
}
