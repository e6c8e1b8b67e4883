// Slot events (C_WaitForSlotEvent): a card put in or taken out, a reader that
// comes or goes, each told once. The readers as last told are kept; a call
// compares them with the readers now and tells the first that differs. A
// blocking call waits on a PC/SC watch of its own and holds no lock of the
// module meanwhile; Stop (C_Finalize) cancels every watch and returns once
// the waiters have left.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "pkcs11/pkcs11_api.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

class SlotEvents {
 public:
  // The readers now: events are told from here on.
  explicit SlotEvents(ReaderPort& port);

  // CKR_OK with the reader whose slot had an event; CKR_NO_EVENT when none
  // is waiting and `block` is false; CKR_CRYPTOKI_NOT_INITIALIZED once Stop
  // was called.
  CK_RV Next(bool block, std::string* reader);
  void Stop();

 private:
  // The first reader that differs from what was told, now told. Under mutex_.
  bool TakeChange(const std::vector<ReaderStatus>& now, std::string* reader);
  // Waits for a change from `now` on `watch`, registered for Stop to cancel:
  // the watch's code (SCARD_E_CANCELLED once stopped).
  std::uint32_t WaitOn(ReaderWatch& watch, const std::vector<ReaderStatus>& now);
  // A moment's pause when PC/SC cannot watch (pcscd not there): false once
  // stopped.
  bool Pause();

  ReaderPort& port_;
  std::mutex mutex_;
  std::condition_variable changed_;  // a waiter left, or Stop was called
  std::map<std::string, ReaderStatus> told_;
  std::set<ReaderWatch*> watches_;
  bool stopped_ = false;
};

}  // namespace vela::pkcs11
