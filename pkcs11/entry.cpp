// The PKCS#11 entry points. Each checks its arguments, finds its slot or
// session and runs under that slot's mutex, so the sessions of one token
// take turns on the card while other tokens go on. The library's own mutex
// (slots and session handles) is only ever taken last, for a moment.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "pkcs11/fork_gate.h"
#include "pkcs11/pkcs11_api.h"
#include "pkcs11/slot.h"
#include "pkcs11/slot_events.h"

namespace vela::pkcs11 {
namespace {

struct State {
  pid_t pid = 0;
  std::unique_ptr<ReaderPort> port;
  std::unique_ptr<SlotEvents> events;
  ModuleSettings settings;
  std::mutex mutex;
  std::vector<std::shared_ptr<Slot>> slots;  // the slot id is the index
  std::map<CK_SESSION_HANDLE, std::shared_ptr<Slot>> sessionSlots;
  CK_SESSION_HANDLE nextSession = 1;
};

// Never destroyed: the end of the process runs EndOfProcess instead, which
// must still find them, and a forked child must never tear down what its
// parent's connections hold.
std::mutex& StateMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}
std::shared_ptr<State>& CurrentState() {
  static auto* current = new std::shared_ptr<State>;
  return *current;
}

// The state of this process: after fork() the child starts uninitialised.
std::shared_ptr<State> Current() {
  std::lock_guard lock(StateMutex());
  const std::shared_ptr<State>& current = CurrentState();
  return current && current->pid == getpid() ? current : nullptr;
}

// Keeps a state that must not be torn down (the parent's, in a forked
// child; the one the process ends with) from ever being destroyed.
void Abandon(std::shared_ptr<State> state) {
  if (state) new std::shared_ptr<State>(std::move(state));
}

// A program that ends without C_Finalize (exit() or a return from main, or
// the library unloaded): every card that holds a PIN verified here is reset
// and its connection closed. A forked child's exit leaves its parent's
// connections alone. Nothing else is torn down: the minidriver may already
// have been finalised.
void EndOfProcess() noexcept {
  try {
    const ForkGate::Inside inside;
    std::unique_lock lock(StateMutex(), std::try_to_lock);
    if (!lock.owns_lock()) return;
    std::shared_ptr<State>& current = CurrentState();
    if (!current || current->pid != getpid()) return;
    std::shared_ptr<State> state = std::move(current);
    lock.unlock();
    std::vector<std::shared_ptr<Slot>> slots;
    {
      std::unique_lock slotsLock(state->mutex, std::try_to_lock);
      if (slotsLock.owns_lock()) slots = state->slots;
    }
    for (const auto& slot : slots) {
      // A thread still busy on the card gets a moment to finish its call.
      std::unique_lock slotLock(slot->mutex, std::chrono::seconds(2));
      if (slotLock.owns_lock()) slot->AbandonAtExit();
    }
    Abandon(std::move(state));
  } catch (...) {
  }
}

struct ProcessEnd {
  ~ProcessEnd() { EndOfProcess(); }
} processEnd;

template <class Body>
CK_RV Run(Body body) {
  try {
    // Declared first: whatever the call releases is released inside the gate.
    const ForkGate::Inside inside;
    const std::shared_ptr<State> state = Current();
    if (!state) return CKR_CRYPTOKI_NOT_INITIALIZED;
    return body(*state);
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

// The slot of a reader: one seen before keeps its id. Under state.mutex.
std::shared_ptr<Slot> ReaderSlot(State& state, const std::string& reader) {
  for (const auto& known : state.slots) {
    if (known->reader() == reader) return known;
  }
  // The first reader to come takes the slot that waited for one.
  if (!state.slots.empty() && state.slots.front()->TakeReader(reader)) return state.slots.front();
  auto slot = std::make_shared<Slot>(state.slots.size(), reader, *state.port, state.settings);
  state.slots.push_back(slot);
  return slot;
}

// The slots of the readers there are now. With no reader at the first
// listing (none plugged in, or pcscd not running yet) the list holds one
// slot without a token that the first reader to come takes: a program that
// reads the slot list once, when it loads the module, finds the card in it
// later all the same.
std::vector<std::shared_ptr<Slot>> CurrentSlots(State& state) {
  std::vector<std::string> readers;
  state.port->ListReaders(&readers);
  std::lock_guard lock(state.mutex);
  if (readers.empty() && state.slots.empty()) {
    state.slots.push_back(std::make_shared<Slot>(0, std::string(), *state.port, state.settings));
  }
  std::vector<std::shared_ptr<Slot>> slots;
  for (const std::string& reader : readers) slots.push_back(ReaderSlot(state, reader));
  if (!state.slots.empty() && state.slots.front()->reader().empty()) slots.push_back(state.slots.front());
  return slots;
}

std::shared_ptr<Slot> FindSlot(State& state, CK_SLOT_ID id) {
  {
    std::lock_guard lock(state.mutex);
    if (id < state.slots.size() && !state.slots[id]->reader().empty()) return state.slots[id];
  }
  // A caller that asks before listing the slots, or asks the slot that
  // waits for a reader (which takes one that came meanwhile).
  CurrentSlots(state);
  std::lock_guard lock(state.mutex);
  return id < state.slots.size() ? state.slots[id] : nullptr;
}

// Drops the handles of sessions the slot no longer has: closed, or ended
// with their token when the card went.
void Sync(State& state, const Slot& slot) {
  const std::vector<CK_SESSION_HANDLE> open = slot.SessionHandles();
  std::lock_guard lock(state.mutex);
  std::erase_if(state.sessionSlots, [&](const auto& entry) {
    return entry.second.get() == &slot && std::find(open.begin(), open.end(), entry.first) == open.end();
  });
}

template <class Body>
CK_RV WithSlot(CK_SLOT_ID id, Body body) {
  return Run([&](State& state) {
    const std::shared_ptr<Slot> slot = FindSlot(state, id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    std::lock_guard lock(slot->mutex);
    const CK_RV rv = body(state, *slot);
    Sync(state, *slot);
    return rv;
  });
}

template <class Body>
CK_RV WithSession(CK_SESSION_HANDLE handle, Body body) {
  return Run([&](State& state) {
    std::shared_ptr<Slot> slot;
    {
      std::lock_guard lock(state.mutex);
      const auto found = state.sessionSlots.find(handle);
      if (found != state.sessionSlots.end()) slot = found->second;
    }
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    std::lock_guard lock(slot->mutex);
    Session* session = nullptr;
    CK_RV rv = slot->CheckSession(handle, &session);
    if (rv == CKR_OK) rv = body(*slot, *session);
    Sync(state, *slot);
    return rv;
  });
}

// A function the token does not offer, on a session: the handle is checked
// first, as the standard orders its errors.
CK_RV NotSupported(CK_SESSION_HANDLE handle) {
  return Run([&](State& state) {
    std::lock_guard lock(state.mutex);
    return state.sessionSlots.count(handle) != 0 ? CKR_FUNCTION_NOT_SUPPORTED : CKR_SESSION_HANDLE_INVALID;
  });
}

template <class T>
void Fill(T* field, std::size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::min(size, std::strlen(text)));
}

std::span<const std::uint8_t> Span(const void* data, CK_ULONG length) {
  return {static_cast<const std::uint8_t*>(data), data == nullptr ? 0 : length};
}

}  // namespace
}  // namespace vela::pkcs11

using namespace vela::pkcs11;

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
  try {
    const ForkGate::Inside inside;
    if (pInitArgs != nullptr) {
      const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs);
      if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
      const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                        (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
      if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
      // The module locks with the system's own mutexes only.
      if (given == 4 && (args->flags & CKF_OS_LOCKING_OK) == 0) return CKR_CANT_LOCK;
    }
    std::lock_guard lock(StateMutex());
    std::shared_ptr<State>& current = CurrentState();
    if (current && current->pid == getpid()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    // Initialised in the parent before fork(): its PC/SC connections are the
    // parent's, so the child leaves them alone and starts afresh.
    if (current) Abandon(std::move(current));
    auto state = std::make_shared<State>();
    state->pid = getpid();
    state->settings = ReadModuleSettings();
    std::string error;
    state->port = MakeReaderPort(&error);
    if (!state->port) return CKR_GENERAL_ERROR;
    state->events = std::make_unique<SlotEvents>(*state->port);
    current = std::move(state);
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV C_Finalize(CK_VOID_PTR pReserved) {
  try {
    const ForkGate::Inside inside;
    if (pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<State> state;
    {
      std::lock_guard lock(StateMutex());
      std::shared_ptr<State>& current = CurrentState();
      if (!current || current->pid != getpid()) return CKR_CRYPTOKI_NOT_INITIALIZED;
      state = std::move(current);
    }
    // A thread blocked in C_WaitForSlotEvent returns before the slots go.
    state->events->Stop();
    std::vector<std::shared_ptr<Slot>> slots;
    {
      std::lock_guard lock(state->mutex);
      slots = state->slots;
      state->sessionSlots.clear();
    }
    for (const auto& slot : slots) {
      std::lock_guard lock(slot->mutex);
      slot->Shutdown();
    }
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
  return Run([&](State&) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    std::memset(pInfo, 0, sizeof(*pInfo));
    pInfo->cryptokiVersion = {2, 40};
    Fill(pInfo->manufacturerID, sizeof(pInfo->manufacturerID), "vela3ro");
    Fill(pInfo->libraryDescription, sizeof(pInfo->libraryDescription), "VELA G3 read-only PKCS#11 module");
    pInfo->libraryVersion = {VELA_VERSION_MAJOR, VELA_VERSION_MINOR};
    return CKR_OK;
  });
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList, CK_ULONG_PTR pulCount) {
  return Run([&](State& state) {
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    std::vector<CK_SLOT_ID> ids;
    for (const auto& slot : CurrentSlots(state)) {
      if (tokenPresent) {
        std::lock_guard lock(slot->mutex);
        // A count asked for a list to come counts a card not (yet) taken
        // up too: the list may then be shorter, never longer than the
        // room the caller made for it.
        if (!(pSlotList == nullptr ? slot->MayHoldToken() : slot->TokenPresent())) continue;
      }
      ids.push_back(slot->id());
    }
    if (pSlotList == nullptr) {
      *pulCount = ids.size();
      return CKR_OK;
    }
    if (*pulCount < ids.size()) {
      *pulCount = ids.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), pSlotList);
    *pulCount = ids.size();
    return CKR_OK;
  });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
  return WithSlot(slotID, [&](State&, Slot& slot) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.GetSlotInfo(pInfo);
  });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
  return WithSlot(slotID, [&](State&, Slot& slot) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.GetTokenInfo(pInfo);
  });
}

// Blocks (unless CKF_DONT_BLOCK) until a card comes or goes or a reader
// appears or leaves, holding no lock meanwhile; C_Finalize ends the wait.
CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot, CK_VOID_PTR pReserved) {
  return Run([&](State& state) {
    if (pSlot == nullptr || pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    std::string reader;
    const CK_RV rv = state.events->Next((flags & CKF_DONT_BLOCK) == 0, &reader);
    if (rv != CKR_OK) return rv;
    std::lock_guard lock(state.mutex);
    *pSlot = ReaderSlot(state, reader)->id();
    return CKR_OK;
  });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList, CK_ULONG_PTR pulCount) {
  return WithSlot(slotID, [&](State&, Slot& slot) {
    if (pulCount == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_RV rv = slot.MechanismsAvailable();
    if (rv != CKR_OK) return rv;
    const auto mechanisms = Mechanisms();
    if (pMechanismList == nullptr) {
      *pulCount = mechanisms.size();
      return CKR_OK;
    }
    if (*pulCount < mechanisms.size()) {
      *pulCount = mechanisms.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    for (std::size_t i = 0; i < mechanisms.size(); ++i) pMechanismList[i] = mechanisms[i].type;
    *pulCount = mechanisms.size();
    return CKR_OK;
  });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR pInfo) {
  return WithSlot(slotID, [&](State&, Slot& slot) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_RV rv = slot.MechanismsAvailable();
    if (rv != CKR_OK) return rv;
    const Mechanism* mechanism = FindMechanism(type);
    if (mechanism == nullptr) return CKR_MECHANISM_INVALID;
    *pInfo = MechanismInfo(*mechanism);
    return CKR_OK;
  });
}

CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
  return WithSlot(slotID, [&](State&, Slot& slot) {
    return slot.TokenPresent() ? CKR_TOKEN_WRITE_PROTECTED : CKR_TOKEN_NOT_PRESENT;
  });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pPin == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.InitPin(session, Span(pPin, ulPinLen));
  });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen, CK_UTF8CHAR_PTR pNewPin,
               CK_ULONG ulNewLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    // The card changes PINs given by the host only, never on a keypad.
    if (pOldPin == nullptr || pNewPin == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.SetPin(session, Span(pOldPin, ulOldLen), Span(pNewPin, ulNewLen));
  });
}

CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR phSession) {
  return WithSlot(slotID, [&](State& state, Slot& slot) {
    if (phSession == nullptr) return CKR_ARGUMENTS_BAD;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    std::shared_ptr<Slot> owner;
    CK_SESSION_HANDLE handle;
    {
      std::lock_guard lock(state.mutex);
      handle = state.nextSession++;
      owner = state.slots[slot.id()];
    }
    const CK_RV rv = slot.OpenSession(flags, handle);
    if (rv != CKR_OK) return rv;
    std::lock_guard lock(state.mutex);
    state.sessionSlots[handle] = owner;
    *phSession = handle;
    return CKR_OK;
  });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
  return Run([&](State& state) {
    std::shared_ptr<Slot> slot;
    {
      std::lock_guard lock(state.mutex);
      const auto found = state.sessionSlots.find(hSession);
      if (found == state.sessionSlots.end()) return CKR_SESSION_HANDLE_INVALID;
      slot = found->second;
    }
    std::lock_guard lock(slot->mutex);
    const CK_RV rv = slot->CloseSession(hSession);
    Sync(state, *slot);
    return rv;
  });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
  return WithSlot(slotID, [&](State&, Slot& slot) { return slot.CloseAllSessions(); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pInfo == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.GetSessionInfo(session, pInfo);
  });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_SetOperationState(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
  return NotSupported(hSession);
}

CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pPin == nullptr && ulPinLen != 0) return CKR_ARGUMENTS_BAD;
    return slot.Login(session, userType, Span(pPin, ulPinLen), pPin != nullptr);
  });
}

CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
  return WithSession(hSession, [&](Slot& slot, Session&) { return slot.Logout(); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                     CK_OBJECT_HANDLE_PTR phObject) {
  return WithSession(hSession, [&](Slot&, Session& session) {
    if ((pTemplate == nullptr && ulCount != 0) || phObject == nullptr) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      bool onToken = false;
      if (pTemplate[i].type == CKA_TOKEN && ReadBool(pTemplate[i], &onToken) == CKR_OK && onToken) {
        return session.readWrite ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
      }
    }
    return CKR_FUNCTION_NOT_SUPPORTED;
  });
}

CK_RV C_CopyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount,
                   CK_OBJECT_HANDLE_PTR phNewObject) {
  return WithSession(hSession, [&](Slot& slot, Session&) {
    if ((pTemplate == nullptr && ulCount != 0) || phNewObject == nullptr) return CKR_ARGUMENTS_BAD;
    CK_ULONG size = 0;
    const CK_RV rv = slot.ObjectSize(hObject, &size);
    return rv != CKR_OK ? rv : CKR_ACTION_PROHIBITED;
  });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject) {
  return WithSession(hSession, [&](Slot& slot, Session& session) { return slot.DestroyObject(session, hObject); });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ULONG_PTR pulSize) {
  return WithSession(hSession, [&](Slot& slot, Session&) {
    if (pulSize == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.ObjectSize(hObject, pulSize);
  });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return WithSession(hSession, [&](Slot& slot, Session&) {
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    return slot.GetAttributes(hObject, pTemplate, ulCount);
  });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject, CK_ATTRIBUTE_PTR pTemplate,
                          CK_ULONG ulCount) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    return slot.RefuseChange(session, hObject);
  });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulCount) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pTemplate == nullptr && ulCount != 0) return CKR_ARGUMENTS_BAD;
    for (CK_ULONG i = 0; i < ulCount; ++i) {
      if (pTemplate[i].pValue == nullptr && pTemplate[i].ulValueLen != 0) return CKR_ATTRIBUTE_VALUE_INVALID;
    }
    return slot.FindInit(session, {pTemplate, pTemplate == nullptr ? 0 : ulCount});
  });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR phObject, CK_ULONG ulMaxObjectCount,
                    CK_ULONG_PTR pulObjectCount) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (phObject == nullptr || pulObjectCount == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.FindNext(session, phObject, ulMaxObjectCount, pulObjectCount);
  });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
  return WithSession(hSession, [&](Slot& slot, Session& session) { return slot.FindFinal(session); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR) { return NotSupported(hSession); }
CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) { return NotSupported(hSession); }
CK_RV C_DigestKey(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }

CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pMechanism == nullptr) return CKR_ARGUMENTS_BAD;
    return slot.SignInit(session, *pMechanism, hKey);
  });
}

// A call that fails ends the signature, unless it only asked for the size.
CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen, CK_BYTE_PTR pSignature,
             CK_ULONG_PTR pulSignatureLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if ((pData == nullptr && ulDataLen != 0) || pulSignatureLen == nullptr) {
      session.sign.reset();
      return CKR_ARGUMENTS_BAD;
    }
    return slot.Sign(session, Span(pData, ulDataLen), pSignature, pulSignatureLen);
  });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart, CK_ULONG ulPartLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pPart == nullptr && ulPartLen != 0) {
      session.sign.reset();
      return CKR_ARGUMENTS_BAD;
    }
    return slot.SignUpdate(session, Span(pPart, ulPartLen));
  });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pulSignatureLen == nullptr) {
      session.sign.reset();
      return CKR_ARGUMENTS_BAD;
    }
    return slot.SignFinal(session, pSignature, pulSignatureLen);
  });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_SignRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) { return NotSupported(hSession); }
CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) { return NotSupported(hSession); }
CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) { return NotSupported(hSession); }
CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) { return NotSupported(hSession); }
CK_RV C_VerifyRecover(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) { return NotSupported(hSession); }
CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return NotSupported(hSession);
}
CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return NotSupported(hSession);
}
CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return NotSupported(hSession);
}
CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
  return NotSupported(hSession);
}
CK_RV C_GenerateKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  return NotSupported(hSession);
}
CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG,
                        CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
  return NotSupported(hSession);
}
CK_RV C_WrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR) {
  return NotSupported(hSession);
}
CK_RV C_UnwrapKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hUnwrappingKey,
                  CK_BYTE_PTR pWrappedKey, CK_ULONG ulWrappedKeyLen, CK_ATTRIBUTE_PTR pTemplate,
                  CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pMechanism == nullptr || phKey == nullptr || (pWrappedKey == nullptr && ulWrappedKeyLen != 0) ||
        (pTemplate == nullptr && ulAttributeCount != 0)) {
      return CKR_ARGUMENTS_BAD;
    }
    return slot.Unwrap(session, *pMechanism, hUnwrappingKey, Span(pWrappedKey, ulWrappedKeyLen),
                       {pTemplate, pTemplate == nullptr ? 0 : ulAttributeCount}, phKey);
  });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hBaseKey,
                  CK_ATTRIBUTE_PTR pTemplate, CK_ULONG ulAttributeCount, CK_OBJECT_HANDLE_PTR phKey) {
  return WithSession(hSession, [&](Slot& slot, Session& session) {
    if (pMechanism == nullptr || phKey == nullptr || (pTemplate == nullptr && ulAttributeCount != 0)) {
      return CKR_ARGUMENTS_BAD;
    }
    return slot.Derive(session, *pMechanism, hBaseKey, {pTemplate, pTemplate == nullptr ? 0 : ulAttributeCount},
                       phKey);
  });
}

// The card's random numbers are not offered by the minidriver.
CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
  return WithSession(hSession, [](Slot&, Session&) { return CKR_RANDOM_NO_RNG; });
}
CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR, CK_ULONG) {
  return WithSession(hSession, [](Slot&, Session&) { return CKR_RANDOM_NO_RNG; });
}

// Legacy functions of parallel sessions, which this token does not have.
CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE hSession) {
  const CK_RV rv = NotSupported(hSession);
  return rv == CKR_FUNCTION_NOT_SUPPORTED ? CKR_FUNCTION_NOT_PARALLEL : rv;
}
CK_RV C_CancelFunction(CK_SESSION_HANDLE hSession) {
  const CK_RV rv = NotSupported(hSession);
  return rv == CKR_FUNCTION_NOT_SUPPORTED ? CKR_FUNCTION_NOT_PARALLEL : rv;
}

// The one symbol the library shows (with the version script).
__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
  static CK_FUNCTION_LIST functions = {
      {2, 40},
      C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
      C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
      C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
      C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
      C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
      C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
      C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
      C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
      C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
      C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
      C_CancelFunction, C_WaitForSlotEvent,
  };
  if (ppFunctionList == nullptr) return CKR_ARGUMENTS_BAD;
  *ppFunctionList = &functions;
  return CKR_OK;
}

}  // extern "C"
