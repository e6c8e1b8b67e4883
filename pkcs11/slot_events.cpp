#include "pkcs11/slot_events.h"

#include <chrono>

#include "core/minidriver_abi.h"
#include "pkcs11/fork_gate.h"

namespace vela::pkcs11 {
namespace {

bool Same(const ReaderStatus& a, const ReaderStatus& b) {
  return a.cardIn == b.cardIn && a.cardChanges == b.cardChanges;
}

}  // namespace

SlotEvents::SlotEvents(ReaderPort& port) : port_(port) {
  std::vector<ReaderStatus> now;
  port_.Statuses(&now);
  for (ReaderStatus& status : now) told_[status.reader] = std::move(status);
}

CK_RV SlotEvents::Next(bool block, std::string* reader) {
  std::unique_ptr<ReaderWatch> watch;
  for (;;) {
    std::vector<ReaderStatus> now;
    const std::uint32_t read = port_.Statuses(&now);
    {
      std::lock_guard lock(mutex_);
      if (stopped_) return CKR_CRYPTOKI_NOT_INITIALIZED;
      if (read == 0 && TakeChange(now, reader)) return CKR_OK;
      if (!block) return CKR_NO_EVENT;
    }
    if (read != 0 || (!watch && port_.Watch(&watch) != 0)) {
      watch.reset();
      if (!Pause()) return CKR_CRYPTOKI_NOT_INITIALIZED;
      continue;
    }
    // pcscd gone or restarted (the watch's context with it): a new watch
    // after a pause, never a tight loop.
    const std::uint32_t rc = WaitOn(*watch, now);
    if (rc != 0 && rc != SCARD_E_CANCELLED) {
      watch.reset();
      if (!Pause()) return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
  }
}

std::uint32_t SlotEvents::WaitOn(ReaderWatch& watch, const std::vector<ReaderStatus>& now) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return SCARD_E_CANCELLED;
    watches_.insert(&watch);
  }
  std::uint32_t rc;
  {
    // A fork() meanwhile need not wait for the card to move: the watch has a
    // PC/SC context of its own and holds nothing of the module's.
    const ForkGate::Outside outside;
    rc = watch.Wait(now);
  }
  {
    std::lock_guard lock(mutex_);
    watches_.erase(&watch);
  }
  changed_.notify_all();
  return rc;
}

bool SlotEvents::Pause() {
  const ForkGate::Outside outside;
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(1), [&] { return stopped_; });
  return !stopped_;
}

bool SlotEvents::TakeChange(const std::vector<ReaderStatus>& now, std::string* reader) {
  for (const ReaderStatus& status : now) {
    const auto told = told_.find(status.reader);
    if (told == told_.end() || !Same(told->second, status)) {
      told_[status.reader] = status;
      *reader = status.reader;
      return true;
    }
  }
  for (auto told = told_.begin(); told != told_.end(); ++told) {
    bool there = false;
    for (const ReaderStatus& status : now) there = there || status.reader == told->first;
    if (!there) {
      *reader = told->first;
      told_.erase(told);
      return true;
    }
  }
  return false;
}

void SlotEvents::Stop() {
  std::unique_lock lock(mutex_);
  stopped_ = true;
  changed_.notify_all();
  // A cancel reaches only a wait already begun: it is sent again until every
  // waiter has left (a waiter between registering and waiting gets the next).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (!watches_.empty() && std::chrono::steady_clock::now() < deadline) {
    for (ReaderWatch* watch : watches_) watch->Cancel();
    changed_.wait_for(lock, std::chrono::milliseconds(20), [&] { return watches_.empty(); });
  }
}

}  // namespace vela::pkcs11
