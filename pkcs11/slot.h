// A slot is a PC/SC reader; its token is the card in it while the minidriver
// accepts that card. The token keeps the minidriver context (the host side
// of CARD_DATA), what was read from the card once, the login state and the
// sessions. Everything here runs under the slot's mutex: the minidriver
// serves one call at a time per context.
#pragma once

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/module_host.h"
#include "pkcs11/mechanisms.h"
#include "pkcs11/objects.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

inline constexpr CK_ULONG kMinPinBytes = 6;
inline constexpr CK_ULONG kMaxPinBytes = 48;

enum class Login { kPublic, kUser, kSecurityOfficer };

struct Session {
  CK_SESSION_HANDLE handle = CK_INVALID_HANDLE;
  bool readWrite = false;
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t nextFound = 0;
  std::optional<SignOperation> sign;
  bool signParts = false;  // C_SignUpdate was called
};

struct Token {
  Token(std::unique_ptr<CardLink> cardLink, host::AcquireFunction acquire, CK_OBJECT_HANDLE base);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  std::unique_ptr<CardLink> link;
  host::CardHost host;
  std::array<std::uint8_t, 10> serial{};
  bool pinPad = false;
  bool objectsLoaded = false;
  std::vector<Object> objects;         // the card's, in container order
  std::vector<Object> sessionObjects;  // keys C_DeriveKey made
  CK_OBJECT_HANDLE handleBase;
  CK_OBJECT_HANDLE nextSessionObject;
  Login login = Login::kPublic;
  Bytes soPin;            // kept for C_InitPIN while the SO is logged in; wiped
  CK_FLAGS pinFlags = 0;  // the CKF_USER_PIN_* and CKF_SO_PIN_* flags
  bool pinVerified = false;  // the card holds a verified PIN until it is reset
};

class Slot {
 public:
  Slot(CK_SLOT_ID id, std::string reader, ReaderPort& port);
  ~Slot();

  std::mutex mutex;

  CK_SLOT_ID id() const { return id_; }
  const std::string& reader() const { return reader_; }

  // Slot and token.
  CK_RV GetSlotInfo(CK_SLOT_INFO* info);
  CK_RV GetTokenInfo(CK_TOKEN_INFO* info);
  // Whether a token is there now (a card taken out, or put in, is noticed).
  bool TokenPresent();
  CK_RV MechanismsAvailable();

  // Sessions. A session call first runs CheckSession: the session must
  // exist, and the card must still be there (else the token is dropped and
  // CKR_DEVICE_REMOVED returned).
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

  // Ends the token and every session (C_Finalize): a card that holds a PIN
  // verified here is reset so that it forgets it.
  void Shutdown();

 private:
  CK_RV Refresh();
  void MakeToken();
  void DropToken(bool resetCard);
  CK_RV CheckCard();
  // Runs `call` with the card inside a transaction and gives its result. A
  // card that has gone drops the token (CKR_DEVICE_REMOVED).
  template <class Call>
  CK_RV OnCard(Call call, DWORD* result);
  CK_RV LoadObjects();
  void ForgetLogin();
  CK_RV EndLogin();
  Object* FindObject(CK_OBJECT_HANDLE handle);
  bool Visible(const Object& object) const;
  CK_RV SignBlock(Session& session, std::span<const std::uint8_t> callerHash, CK_BYTE_PTR signature,
                  CK_ULONG* length);
  CK_RV DeriveBytes(int container, const Bytes& point, const KdfHash& hash, std::span<const std::uint8_t> shared,
                    std::size_t length, Bytes* out);
  CK_RV PinOutcome(DWORD code, DWORD attempts, bool securityOfficer);

  CK_SLOT_ID id_;
  std::string reader_;
  ReaderPort& port_;
  std::unique_ptr<Token> token_;
  // A card the minidriver refused, kept until it leaves so it is not asked again.
  std::unique_ptr<CardLink> refused_;
  std::map<CK_SESSION_HANDLE, Session> sessions_;
};

// Handles of objects are unique in the process: each token takes a range.
CK_OBJECT_HANDLE NextHandleBase();

}  // namespace vela::pkcs11
