// The objects a token shows: per key container its certificate, public key
// and private key, and the secret keys C_DeriveKey makes. An object is a set
// of attributes held as the bytes C_GetAttributeValue hands out.
#pragma once

#include <map>
#include <span>
#include <string>

#include "pkcs11/der.h"
#include "pkcs11/pkcs11_api.h"

namespace vela::pkcs11 {

// What a key container of the card holds, as read once per token.
struct ContainerData {
  int index = 0;          // 0 to 15
  bool signature = true;  // a signature key; else a key-agreement key
  Bytes point;            // 04 X Y
  Bytes certificateFile;  // as the card stores it; empty when unreadable
};

struct Object {
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  CK_OBJECT_CLASS objectClass = 0;
  bool isPrivate = false;  // seen only while the user is logged in
  int container = -1;      // the card key behind a key object, or -1
  bool canSign = false;
  bool canDerive = false;
  CK_SESSION_HANDLE owner = CK_INVALID_HANDLE;  // session of a session object
  std::map<CK_ATTRIBUTE_TYPE, Bytes> attributes;
  // Attributes that exist but are never handed out (CKR_ATTRIBUTE_SENSITIVE).
  std::map<CK_ATTRIBUTE_TYPE, bool> sensitive;
};

Bytes UlongValue(CK_ULONG value);
Bytes BoolValue(bool value);

// The certificate (when readable), public key and private key of a
// container, sharing one CKA_ID (the container index) and one label.
std::vector<Object> ContainerObjects(const ContainerData& container);

// C_GetAttributeValue on one object: fills or sizes each entry of the
// template and returns CKR_OK or the code of the last entry that failed, as
// the standard orders (sensitive, unknown type, buffer too small).
CK_RV GetAttributes(const Object& object, CK_ATTRIBUTE_PTR attributes, CK_ULONG count);

// Whether the object holds every attribute of the template with the same bytes.
bool Matches(const Object& object, std::span<const CK_ATTRIBUTE> pattern);

// A template's attribute read as a CK_ULONG or CK_BBOOL; CKR_OK, or
// CKR_ATTRIBUTE_VALUE_INVALID for a value of the wrong size.
CK_RV ReadUlong(const CK_ATTRIBUTE& attribute, CK_ULONG* value);
CK_RV ReadBool(const CK_ATTRIBUTE& attribute, bool* value);

}  // namespace vela::pkcs11
