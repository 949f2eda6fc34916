// The module calls a worker process has under way, kept in memory its
// supervisor shares. A worker that dies cannot say what it was doing; its
// supervisor reads this table after waitpid and names the requests that
// were inside the module, so that the operator can find the URL that
// crashes it. The supervisor also reads it while the worker lives, to end
// a worker whose call has run too long.
#pragma once

#include <stdint.h>

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

namespace isapi {

// One worker's calls. Lives in shared memory: plain bytes and lock-free
// atomics only.
struct CallTable {
  static constexpr size_t kSlots = 256;      // calls recorded at once; more go unrecorded
  static constexpr size_t kLineBytes = 248;  // request line, cut to fit, NUL-terminated
  struct Slot {
    // Monotonic milliseconds when the call began; 0 for a free slot, -1
    // while the line is being written.
    std::atomic<int64_t> since_ms;
    char line[kLineBytes];
  };
  Slot slots[kSlots];

  // Frees every slot (for a worker about to start).
  void Clear();
  // "GET /x HTTP/1.1" of each call under way, in slot order.
  std::vector<std::string> Lines() const;
  // The request line of the oldest call that began before `deadline_ms`,
  // and true; false when there is none.
  bool OverdueCall(int64_t deadline_ms, std::string* line) const;
};

static_assert(std::atomic<int64_t>::is_always_lock_free);

// Milliseconds on the monotonic clock, the same in every process.
int64_t MonotonicMs();

// Makes this process record its module calls in `table` (null: record
// nothing, the default). Call before threads start.
void RecordCallsIn(CallTable* table);

// Records one module call for as long as it lives. Does nothing unless
// RecordCallsIn gave a table. Thread-safe.
class CallInFlight {
 public:
  CallInFlight(std::string_view method, std::string_view target, std::string_view protocol);
  ~CallInFlight();
  CallInFlight(const CallInFlight&) = delete;
  CallInFlight& operator=(const CallInFlight&) = delete;

 private:
  CallTable::Slot* slot_ = nullptr;
};

}  // namespace isapi
