// A token is the card in a slot's reader while the minidriver accepts it: the
// connection to the card, the minidriver context on it (the host side of
// CARD_DATA), what was read from the card once, and the login. A card whose
// objects the cache holds is taken without the minidriver, which is acquired
// when a call first needs it (a listing of objects may never).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/card_context.h"
#include "host/module_host.h"
#include "pkcs11/locked_pin.h"
#include "pkcs11/object_cache.h"
#include "pkcs11/objects.h"
#include "pkcs11/pin_mark.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

enum class Login { kPublic, kUser, kSecurityOfficer };

struct Token {
  Token(std::unique_ptr<CardLink> cardLink, host::AcquireFunction acquire, CK_OBJECT_HANDLE base);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  CARD_DATA* card() { return host->data(); }
  // A fresh minidriver context record on the same connection (the old one
  // deleted first), for a card another program reset.
  void RenewHost();

  std::unique_ptr<CardLink> link;
  host::AcquireFunction acquire;
  std::unique_ptr<host::CardHost> host;
  std::vector<std::uint8_t> atr;  // as the card was first taken
  std::array<std::uint8_t, 10> serial{};
  // Whether PINs are typed on the reader's keypad: asked of the minidriver
  // when first needed (a listing of objects never needs it).
  std::optional<bool> pinPad;
  // The cache's file of the card, found when it was taken; used (and let
  // go) when the objects are loaded.
  std::optional<CachedCard> cached;
  bool objectsLoaded = false;
  std::vector<Object> objects;         // the card's, in container order
  std::vector<Object> sessionObjects;  // keys C_DeriveKey and C_UnwrapKey made
  CK_OBJECT_HANDLE handleBase;
  CK_OBJECT_HANDLE nextSessionObject;
  Login login = Login::kPublic;
  // What the login was made with, when the application typed it: the user
  // PIN (replayed after another program's reset) or the SO's unblocking code
  // (which C_InitPIN needs again). Empty for a keypad login.
  LockedPin loginPin;
  // The card's PIN-change mark as it was when the login was made (or the
  // PIN changed here): another one means the PIN kept is stale.
  PinMark loginMark{};
  CK_FLAGS pinFlags = 0;     // the CKF_USER_PIN_* and CKF_SO_PIN_* flags
  bool pinVerified = false;  // the card holds a PIN verified here until it is reset
  // Another program reset the card and the connection was taken up again;
  // the minidriver context and the login are yet to be made anew.
  bool stale = false;
  // The end of this program's use of the card was dealt with (the card
  // reset, or found without a PIN verified), and no session opened since.
  bool useEnded = false;
  // Times the card was taken up again after another program's reset.
  unsigned takeUps = 0;
  // The record the card layer reads when the module sends a command itself:
  // the log settings, read as the minidriver reads them at an acquire, so
  // that its APDU trace shows these commands too (never the agreed secret).
  CardContext commandSettings{};
};

// What a refusal of the minidriver means to a PKCS#11 caller.
CK_RV CardResult(DWORD code);

// The card's ten-byte serial number, through the minidriver.
DWORD ReadSerial(CARD_DATA* cd, std::array<std::uint8_t, 10>* serial);
// Whether the minidriver has PINs typed on the reader's keypad.
DWORD ReadPinPad(CARD_DATA* cd, bool* pinPad);

// Every present container's key and certificate: the container map once,
// then per container its public key and its certificate file, unless
// `proven` fills the container (from the cache, proven against the card).
using ProvenContainer = std::function<bool(ContainerData* container)>;
DWORD ReadContainers(CARD_DATA* cd, std::vector<ContainerData>* containers, const ProvenContainer& proven = {});

// A derived key's value is wiped before its memory goes back to the heap.
void WipeValue(Object& object);

// Drops the session objects `drop` picks, each wiped first.
template <class Predicate>
void DropSessionObjects(std::vector<Object>& objects, Predicate drop) {
  for (Object& object : objects) {
    if (drop(object)) WipeValue(object);
  }
  std::erase_if(objects, drop);
}

}  // namespace vela::pkcs11
