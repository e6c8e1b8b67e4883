// A slot is a PC/SC reader; its token is the card in it while the minidriver
// accepts that card. Everything here runs under the slot's mutex: the
// minidriver serves one call at a time per context. The work is split by
// concern: the slot, its token and its sessions (slot.cpp); every card call,
// with a reset by another program taken up again (card_access.cpp); login and
// PINs (login.cpp); objects (object_access.cpp); signing (signing.cpp);
// derivation (derivation.cpp); unwrapping (unwrapping.cpp).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pkcs11/mechanisms.h"
#include "pkcs11/module_settings.h"
#include "pkcs11/pin_status.h"
#include "pkcs11/token.h"

namespace vela::pkcs11 {

// Resets by other programs that keep coming one after another (each logout
// elsewhere makes one) are waited out this long before a call gives up. A
// bound in time, not in resets: a program that loses the card to the
// resets several times in a row, as it does on a busy machine, still
// takes it up, and one that never can still ends.
inline constexpr std::chrono::milliseconds kResetsWaitedOut{3000};

inline constexpr CK_ULONG kMinPinBytes = 6;
inline constexpr CK_ULONG kMaxPinBytes = 48;

struct Session {
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  bool readWrite = false;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t nextFound = 0;
  std::optional<SignOperation> sign;
  bool signParts = false;  // C_SignUpdate was called
};

class Slot {
 public:
  Slot(CK_SLOT_ID id, std::string reader, ReaderPort& port, ModuleSettings settings = {});
  ~Slot();

  std::timed_mutex mutex;

  CK_SLOT_ID id() const { return id_; }
  // The reader's name; empty for a slot that waits for the first reader.
  std::string reader() const;
  // Gives a slot that waits for a reader the one that came (true), once.
  bool TakeReader(const std::string& reader);

  // Slot and token.
  CK_RV GetSlotInfo(CK_SLOT_INFO* info);
  CK_RV GetTokenInfo(CK_TOKEN_INFO* info);
  // Whether a token is there now (a card taken out, or put in, is noticed).
  bool TokenPresent();
  // The same, or a card PC/SC shows in the reader that the minidriver did
  // not refuse (one another program's reset kept from being taken up).
  bool MayHoldToken();
  CK_RV MechanismsAvailable();

  // Sessions. A session call first runs CheckSession: the session must
  // exist, and the card must still be there (else the token is dropped and
  // CKR_DEVICE_REMOVED returned); a card another program reset is taken up
  // again first.
  CK_RV OpenSession(CK_FLAGS flags, CK_SESSION_HANDLE handle);
  CK_RV CloseSession(CK_SESSION_HANDLE handle);
  CK_RV CloseAllSessions();
  std::vector<CK_SESSION_HANDLE> SessionHandles() const;
  CK_RV CheckSession(CK_SESSION_HANDLE handle, Session** session);
  CK_RV GetSessionInfo(const Session& session, CK_SESSION_INFO* info) const;

  CK_RV Login(Session& session, CK_USER_TYPE user, std::span<const std::uint8_t> pin, bool pinGiven);
  CK_RV Logout();
  CK_RV SetPin(Session& session, std::span<const std::uint8_t> oldPin, std::span<const std::uint8_t> newPin);
  CK_RV InitPin(Session& session, std::span<const std::uint8_t> pin);

  // Objects.
  CK_RV FindInit(Session& session, std::span<const CK_ATTRIBUTE> pattern);
  CK_RV FindNext(Session& session, CK_OBJECT_HANDLE* handles, CK_ULONG max, CK_ULONG* count);
  CK_RV FindFinal(Session& session);
  CK_RV GetAttributes(CK_OBJECT_HANDLE handle, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);
  CK_RV ObjectSize(CK_OBJECT_HANDLE handle, CK_ULONG* size);
  CK_RV DestroyObject(Session& session, CK_OBJECT_HANDLE handle);
  CK_RV RefuseChange(Session& session, CK_OBJECT_HANDLE handle);

  // Signing.
  CK_RV SignInit(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);
  CK_RV Sign(Session& session, std::span<const std::uint8_t> data, CK_BYTE_PTR signature, CK_ULONG* length);
  CK_RV SignUpdate(Session& session, std::span<const std::uint8_t> data);
  CK_RV SignFinal(Session& session, CK_BYTE_PTR signature, CK_ULONG* length);

  // ECDH1 derivation into a new secret-key session object.
  CK_RV Derive(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE base,
               std::span<const CK_ATTRIBUTE> pattern, CK_OBJECT_HANDLE* key);
  // An AES key wrap undone under a secret key of the session, into another.
  CK_RV Unwrap(Session& session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE unwrappingKey,
               std::span<const std::uint8_t> wrapped, std::span<const CK_ATTRIBUTE> pattern, CK_OBJECT_HANDLE* key);

  // Ends the token and every session (C_Finalize): a card that holds a PIN
  // verified here is reset so that it forgets it.
  void Shutdown();
  // The same at the end of the process (exit() without C_Finalize, or the
  // library unloaded): the card is reset when it holds a PIN verified here,
  // the PIN kept is wiped and the connection closed; the minidriver is not
  // called, and what it holds is left to the process's end.
  void AbandonAtExit();

 private:
  // ---- slot.cpp
  CK_RV Refresh();
  void MakeToken();
  void DropToken(bool resetCard);

  // Whether PINs are typed on the reader's keypad (asked once per token).
  CK_RV PinPad(bool* pinPad);

  // ---- card_access.cpp
  // 0 with a transaction on the token's card held, after taking up a card
  // another program reset; else the token is gone (CKR_DEVICE_REMOVED) or
  // the card cannot be had (CKR_DEVICE_ERROR).
  CK_RV Enter();
  void Leave();
  // Whether the token's card is still there: a card another program reset
  // is taken up again here, one that has gone drops the token.
  CK_RV CheckCard();
  // The minidriver context of a token taken from the cache, acquired when a
  // call first needs it; 0 when it is there already. Inside a transaction.
  DWORD AcquireMinidriver();
  // Runs `call` on the card inside a transaction and gives its result. When
  // the call failed because another program reset the card meanwhile, the
  // card is taken up again and the call made once more.
  template <class Call>
  CK_RV OnCard(Call call, DWORD* result);
  // OnCard for an operation of the user's login (a signature, an
  // agreement). The card also forgets a login without a reset (another
  // program's wrong PIN): a refusal is followed by the card's PIN status,
  // and where the PIN is no longer verified the login is made again and the
  // call once more, or the login ends (SCARD_W_SECURITY_VIOLATION).
  template <class Call>
  CK_RV OnCardLoggedIn(Call call, DWORD* result);
  // After another program's reset: a fresh minidriver context, the card
  // checked to be the same, the login made again with the PIN kept. Inside
  // a transaction.
  CK_RV TakeUpAgain();
  // The card forgot the login: the PIN kept is presented again where that
  // cannot block the card, else the login ends. Whether the login stands
  // (false for none). Inside a transaction; `known` is the card's PIN
  // status when it was just asked.
  bool LoginAgain(const PinStatus* known = nullptr);
  // The end of this program's use of the card: makes the card forget a PIN
  // verified on it, by this program or by one that ended without a reset.
  void ResetCard();

  // ---- login.cpp
  // The login state falls to public: the PIN kept is wiped and the private
  // session objects go. The card is not touched.
  void DropLogin();
  // Ends the login and makes the card forget the PIN (logout, the last
  // session closed).
  CK_RV EndLogin();
  CK_RV PinOutcome(DWORD code, DWORD attempts, bool securityOfficer);

  // ---- object_access.cpp
  CK_RV LoadObjects();
  // The object behind a handle when the caller may see it.
  Object* FindObject(CK_OBJECT_HANDLE handle);
  // The object behind a handle: CKR_OK, CKR_USER_NOT_LOGGED_IN when it is
  // private and the login is not (or no longer) there, or
  // CKR_KEY_HANDLE_INVALID when there is no such object.
  CK_RV LookUp(CK_OBJECT_HANDLE handle, Object** object);
  bool Visible(const Object& object) const;

  // ---- signing.cpp, derivation.cpp
  CK_RV SignBlock(Session& session, std::span<const std::uint8_t> callerHash, CK_BYTE_PTR signature,
                  CK_ULONG* length);
  CK_RV DeriveBytes(int container, const Bytes& point, const KdfHash& hash, std::span<const std::uint8_t> shared,
                    std::size_t length, Bytes* out);
  // The raw secret the card agrees with the container's key and the point
  // (04 X Y), through the card layer's command.
  CK_RV SharedSecret(int container, const Bytes& point, Bytes* out);

  CK_SLOT_ID id_;
  // Set once more when a waiting slot takes its reader; read under its own
  // lock, as the slot list reads it without the slot's.
  mutable std::mutex readerMutex_;
  std::string reader_;
  ReaderPort& port_;
  ModuleSettings settings_;
  std::unique_ptr<Token> token_;
  // A card the minidriver refused, kept until it leaves so it is not asked again.
  std::unique_ptr<CardLink> refused_;
  std::map<CK_SESSION_HANDLE, Session> sessions_;
};

// Handles of objects are unique in the process: each token takes a range.
CK_OBJECT_HANDLE NextHandleBase();

}  // namespace vela::pkcs11
