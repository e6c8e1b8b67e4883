// The PKCS#11 module's own settings, read at C_Initialize from the key the
// minidriver reads (HKLM\SOFTWARE\Norvantis\CardMiniDriverRO; on Linux the
// registry file /etc/vela3ro/registry.reg), each a string "TRUE" or "FALSE".
#pragma once

namespace vela::pkcs11 {

struct ModuleSettings {
  // Pkcs11KeepPin: a PIN typed into the application is kept (locked, wiped at
  // logout) for the length of the login, so that the login survives another
  // program's reset of the card. "FALSE": such a reset ends the login.
  bool keepPin = true;
  // Pkcs11Cache: the card's public objects are kept in a per-user cache and
  // used when a cheap read proves them unchanged. "FALSE": every program
  // reads them from the card.
  bool objectCache = true;
};

// Never fails: a missing or unreadable value leaves the default.
ModuleSettings ReadModuleSettings();

}  // namespace vela::pkcs11
