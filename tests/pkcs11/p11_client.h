// What the pkcs11 tier's own programs share: the module loaded as any
// program loads it (dlopen of VELA_P11_MODULE), the token of the emulated
// card found by its serial number, and the few calls the tests make.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "openssl_reference.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::test {

std::string Environment(const char* name);

// Runs `body` in a child process; its result is the child's exit status,
// given to exit() so that the child ends as a program does.
pid_t Spawn(const std::function<int()>& body);
// The child's exit status, or 128 + the signal that ended it; -1 when it
// has not ended within three minutes (it is killed then).
int Wait(pid_t child);

// The status words of raw commands (hexadecimal, e.g. "00:20:00:03") sent
// one after another by OpenSC's opensc-tool, another program on the card;
// e.g. {"9000", "63C3"}. Empty when the tool did not answer each.
std::vector<std::string> CardAnswers(const std::vector<std::string>& commands);

// What another program sees when it asks the card whether the user PIN (03)
// and the unblocking code (04) are verified: VERIFY without data, after the
// application's select. The status words, e.g. "63C3 63C3"; "9000" would
// mean verified.
std::string PinStates();

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
  // An ECDSA-SHA256 signature of `data`; with `askLength` the length is
  // asked first with a null buffer, as PyKCS11 and others do.
  CK_RV Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data, Bytes* signature,
             bool askLength = false);
  // The public key of a container, for OpenSSL to check its signatures.
  Pkey PublicKey(CK_SESSION_HANDLE session, CK_BYTE id);

 private:
  CK_FUNCTION_LIST* p11_;
};

// A P-256 public key from its point 04 X Y.
Pkey P256FromPoint(const Bytes& point);

}  // namespace vela::test
