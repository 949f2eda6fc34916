#include "server/core/calls_in_flight.h"

#include <string.h>
#include <time.h>

#include <algorithm>
#include <initializer_list>

namespace isapi {

namespace {

CallTable* recording_table = nullptr;

// Where a thread starts looking for a free slot: threads that start apart
// rarely contend for one.
std::atomic<unsigned> next_hint{0};
thread_local unsigned slot_hint = next_hint.fetch_add(7);

}  // namespace

int64_t MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CallTable::Clear() {
  for (Slot& slot : slots) slot.since_ms.store(0);
}

std::vector<std::string> CallTable::Lines() const {
  std::vector<std::string> lines;
  for (const Slot& slot : slots) {
    if (slot.since_ms.load() > 0) lines.emplace_back(slot.line, strnlen(slot.line, kLineBytes));
  }
  return lines;
}

bool CallTable::OverdueCall(int64_t deadline_ms, std::string* line) const {
  int64_t oldest = deadline_ms;
  for (const Slot& slot : slots) {
    int64_t since = slot.since_ms.load();
    if (since > 0 && since < oldest) {
      oldest = since;
      line->assign(slot.line, strnlen(slot.line, kLineBytes));
    }
  }
  return oldest < deadline_ms;
}

void RecordCallsIn(CallTable* table) { recording_table = table; }

CallInFlight::CallInFlight(std::string_view method, std::string_view target,
                           std::string_view protocol) {
  if (recording_table == nullptr) return;
  for (size_t i = 0; i < CallTable::kSlots && slot_ == nullptr; ++i) {
    CallTable::Slot& slot = recording_table->slots[(slot_hint + i) % CallTable::kSlots];
    int64_t free = 0;
    if (slot.since_ms.compare_exchange_strong(free, -1)) slot_ = &slot;
  }
  if (slot_ == nullptr) return;
  size_t length = 0;
  for (std::string_view part : {method, std::string_view(" "), target, std::string_view(" "),
                                protocol}) {
    size_t taken = std::min(part.size(), CallTable::kLineBytes - 1 - length);
    memcpy(slot_->line + length, part.data(), taken);
    length += taken;
  }
  slot_->line[length] = '\0';
  slot_->since_ms.store(MonotonicMs());
}

CallInFlight::~CallInFlight() {
  if (slot_ != nullptr) slot_->since_ms.store(0);
}

}  // namespace isapi
