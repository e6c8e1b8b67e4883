// What the pkcs11 tier's own programs share: the module loaded as any
// program loads it (dlopen of VELA_P11_MODULE), the token of the emulated
// card found by its serial number, and the few calls the tests make.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "openssl_reference.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::test {

std::string Environment(const char* name);

// The module's function list, loaded once per process; null when it cannot be.
CK_FUNCTION_LIST* LoadModule();

// The calls of one program on the card, over an initialised module.
class CardProgram {
 public:
  explicit CardProgram(CK_FUNCTION_LIST* p11) : p11_(p11) {}

  // The slot whose token carries the emulated card's serial number, or
  // CK_UNAVAILABLE_INFORMATION.
  CK_SLOT_ID FindToken();
  // FindToken, tried for up to `seconds` while pcscd shows the card again.
  CK_SLOT_ID WaitForToken(int seconds);
  CK_SESSION_HANDLE Open(CK_SLOT_ID slot, bool readWrite = false);
  CK_RV Login(CK_SESSION_HANDLE session, std::string pin = "123456");
  CK_OBJECT_HANDLE Key(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_BYTE id);
  Bytes Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
  // An ECDSA-SHA256 signature of `data`.
  CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data, Bytes* signature);
  // The public key of a container, for OpenSSL to check its signatures.
  Pkey PublicKey(CK_SESSION_HANDLE session, CK_BYTE id);

 private:
  CK_FUNCTION_LIST* p11_;
};

// A P-256 public key from its point 04 X Y.
Pkey P256FromPoint(const Bytes& point);

}  // namespace vela::test
