// The PKCS#11 module as applications call it, over the in-process emulated
// card (the unit tests' card rack): attribute templates, mechanisms and their
// parameters (ECDH public data among them), PINs of any length and the
// lengths of the buffers given for answers all come from the input, and so do
// the card's comings and goings between calls. Every buffer is allocated at
// exactly the length claimed for it, so a read or write past one is an
// AddressSanitizer report; a null pointer may come with any length.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "host/module_host.h"
#include "tests/unit/pkcs11/p11_harness.h"
#include "roads.h"

namespace vela::fuzz {
namespace {

using test::CardRack;
using test::kReader;

constexpr CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,     CKA_ID,          CKA_LABEL,         CKA_KEY_TYPE,      CKA_TOKEN,       CKA_PRIVATE,
    CKA_VALUE,     CKA_EC_POINT,    CKA_EC_PARAMS,     CKA_SIGN,          CKA_DERIVE,      CKA_VALUE_LEN,
    CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_CERTIFICATE_TYPE, CKA_SUBJECT,    CKA_ISSUER,      CKA_SERIAL_NUMBER,
    CKA_MODULUS,   CKA_ALWAYS_AUTHENTICATE, CKA_WRAP_TEMPLATE, CKA_ALLOWED_MECHANISMS, CKA_MODIFIABLE, CKA_KEY_GEN_MECHANISM};
constexpr CK_MECHANISM_TYPE kMechanisms[] = {CKM_ECDSA,        CKM_ECDSA_SHA1,   CKM_ECDSA_SHA224,
                                             CKM_ECDSA_SHA256, CKM_ECDSA_SHA384, CKM_ECDSA_SHA512,
                                             CKM_ECDH1_DERIVE, CKM_ECDH1_COFACTOR_DERIVE, CKM_RSA_PKCS};
constexpr CK_ULONG kKdfs[] = {CKD_NULL, CKD_SHA1_KDF, CKD_SHA224_KDF, CKD_SHA256_KDF, CKD_SHA384_KDF,
                                    CKD_SHA512_KDF};
// The generator of P-256 as an uncompressed point: a public key a peer may send.
constexpr std::uint8_t kPoint[65] = {
    0x04, 0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96, 0x4F,
    0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16, 0x2B, 0xCE,
    0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};

template <class T, std::size_t N>
T Pick(RoadInput& in, const T (&usual)[N]) {
  const std::size_t pick = in.Choose(N + 1);
  return pick < N ? usual[pick] : static_cast<T>(in.Word());
}

// A buffer of exactly its claimed length, or a null pointer with a length.
struct Buffer {
  std::vector<std::uint8_t> bytes;
  bool present = true;
  CK_ULONG length = 0;
  CK_BYTE_PTR get() { return present ? bytes.data() : nullptr; }
};

Buffer Data(RoadInput& in, std::size_t most) {
  Buffer b;
  b.present = in.Choose(8) != 0;
  if (b.present) {
    b.bytes = in.Bytes(in.Choose(most + 1));
    b.bytes.shrink_to_fit();
    b.length = b.bytes.size();
  } else {
    b.length = in.Choose(3) == 0 ? in.Word() : in.Choose(most + 1);
  }
  return b;
}

// An empty buffer of a chosen length for an answer.
Buffer Room(RoadInput& in, std::size_t most) {
  Buffer b;
  b.present = in.Choose(4) != 0;
  b.length = in.Choose(most + 1);
  if (b.present) {
    b.bytes.assign(b.length, 0xA5);
    b.bytes.shrink_to_fit();
  }
  return b;
}

// A PIN: the card's, the unblocking code, or bytes of any length.
Buffer Pin(RoadInput& in) {
  switch (in.Choose(4)) {
    case 0: return {std::vector<std::uint8_t>(test::kUserPin, test::kUserPin + 6), true, 6};
    case 1: return {std::vector<std::uint8_t>(test::kUnblockCode, test::kUnblockCode + 8), true, 8};
    default: return Data(in, 70);
  }
}

// An attribute template. `values`: the caller's values (a search, a new
// object), else room for the answers.
struct Template {
  std::vector<CK_ATTRIBUTE> attributes;
  std::vector<Buffer> buffers;
  CK_ULONG count = 0;
  bool absent = false;
  CK_ATTRIBUTE_PTR get() { return absent ? nullptr : attributes.data(); }
};

Template MakeTemplate(RoadInput& in, bool values) {
  Template t;
  const std::size_t count = in.Choose(6);
  t.buffers.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const CK_ATTRIBUTE_TYPE type = Pick(in, kTypes);
    Buffer& b = t.buffers.emplace_back(values ? Data(in, 90) : Room(in, 600));
    t.attributes.push_back({type, b.get(), b.length});
  }
  t.count = count;
  // A null template with a count, or a count that is not the template's.
  switch (in.Choose(16)) {
    case 0: t.absent = true; break;
    case 1: t.count = count > 0 ? count - 1 : 0; break;
    default: break;
  }
  if (t.attributes.empty() && !t.absent) t.absent = in.Choose(2) == 0;
  return t;
}

class Pkcs11Road {
 public:
  Pkcs11Road(RoadInput& in, CK_FUNCTION_LIST* p11) : in_(in), p11_(p11) {}

  void Run() {
    CK_C_INITIALIZE_ARGS args{};
    args.flags = in_.Choose(4) == 0 ? in_.Word() : CKF_OS_LOCKING_OK;
    if (p11_->C_Initialize(in_.Choose(2) == 0 ? nullptr : &args) != CKR_OK) return;
    // Bounded, so one input cannot run for long.
    for (int i = 0; i < 30 && !in_.exhausted(); ++i) Step();
    p11_->C_Finalize(nullptr);
  }

 private:
  CK_SESSION_HANDLE Session() { return PickHandle(sessions_); }
  CK_OBJECT_HANDLE ObjectHandle() { return PickHandle(objects_); }
  CK_ULONG PickHandle(const std::vector<CK_ULONG>& known) {
    const std::size_t pick = in_.Choose(known.size() + 1);
    return pick < known.size() ? known[pick] : in_.Word();
  }
  CK_SLOT_ID Slot() { return in_.Choose(8) == 0 ? in_.Word() : 0; }

  void Step() {
    switch (in_.Choose(16)) {
      case 0: {
        const CK_FLAGS flags = in_.Choose(8) == 0 ? in_.Word() : CKF_SERIAL_SESSION | (in_.Choose(2) ? CKF_RW_SESSION : 0);
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (p11_->C_OpenSession(Slot(), flags, nullptr, nullptr, &session) == CKR_OK) sessions_.push_back(session);
        break;
      }
      case 1: p11_->C_CloseSession(Session()); break;
      case 2: {
        const CK_USER_TYPE users[] = {CKU_USER, CKU_SO, CKU_CONTEXT_SPECIFIC};
        const CK_SESSION_HANDLE session = Session();
        const CK_USER_TYPE user = Pick(in_, users);
        Buffer pin = Pin(in_);
        p11_->C_Login(session, user, pin.get(), pin.length);
        break;
      }
      case 3: p11_->C_Logout(Session()); break;
      case 4: Find(); break;
      case 5: {
        const CK_SESSION_HANDLE session = Session();
        const CK_OBJECT_HANDLE object = ObjectHandle();
        Template t = MakeTemplate(in_, false);
        p11_->C_GetAttributeValue(session, object, t.get(), t.count);
        break;
      }
      case 6: Change(); break;
      case 7: Sign(); break;
      case 8: Derive(); break;
      case 9: {
        const CK_SESSION_HANDLE session = Session();
        Buffer oldPin = Pin(in_);
        Buffer newPin = Pin(in_);
        p11_->C_SetPIN(session, oldPin.get(), oldPin.length, newPin.get(), newPin.length);
        break;
      }
      case 10: {
        const CK_SESSION_HANDLE session = Session();
        Buffer pin = Pin(in_);
        p11_->C_InitPIN(session, pin.get(), pin.length);
        break;
      }
      case 11: Information(); break;
      case 12: CardEvent(); break;
      case 13: p11_->C_CloseAllSessions(Slot()); break;
      case 14: {
        CK_ULONG size = 0;
        const bool destroy = in_.Choose(2) == 0;
        const CK_SESSION_HANDLE session = Session();
        const CK_OBJECT_HANDLE object = ObjectHandle();
        if (destroy) {
          p11_->C_DestroyObject(session, object);
        } else {
          p11_->C_GetObjectSize(session, object, &size);
        }
        break;
      }
      default: {
        // Waits for nothing: a card event already there, or none.
        CK_SLOT_ID slot = 0;
        p11_->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);
        break;
      }
    }
  }

  void Find() {
    const CK_SESSION_HANDLE session = Session();
    Template t = MakeTemplate(in_, true);
    p11_->C_FindObjectsInit(session, t.get(), t.count);
    for (int round = 0; round < 4 && in_.Choose(4) != 0; ++round) {
      const CK_ULONG most = in_.Choose(6);
      std::vector<CK_OBJECT_HANDLE> handles(most);
      handles.shrink_to_fit();
      CK_ULONG count = 0;
      if (p11_->C_FindObjects(session, most == 0 && in_.Choose(2) ? nullptr : handles.data(), most, &count) != CKR_OK) {
        break;
      }
      if (count > most) RoadFails("C_FindObjects counted more handles than it was given room for");
      for (CK_ULONG i = 0; i < count && i < most && objects_.size() < 64; ++i) objects_.push_back(handles[i]);
    }
    if (in_.Choose(4) != 0) p11_->C_FindObjectsFinal(session);
  }

  // What a read-only token refuses: new objects, copies, changed attributes.
  void Change() {
    const std::size_t call = in_.Choose(3);
    const CK_SESSION_HANDLE session = Session();
    const CK_OBJECT_HANDLE object = ObjectHandle();
    Template t = MakeTemplate(in_, true);
    CK_OBJECT_HANDLE made = CK_INVALID_HANDLE;
    switch (call) {
      case 0: p11_->C_CreateObject(session, t.get(), t.count, &made); break;
      case 1: p11_->C_CopyObject(session, object, t.get(), t.count, &made); break;
      default: p11_->C_SetAttributeValue(session, object, t.get(), t.count); break;
    }
  }

  struct Mechanism {
    CK_MECHANISM mechanism{};
    Buffer parameter;
    CK_ECDH1_DERIVE_PARAMS ecdh{};
    Buffer shared;
    Buffer publicData;
  };

  // A mechanism with a parameter of input bytes, or ECDH1 parameters whose
  // every field comes from the input.
  void MakeMechanism(Mechanism& m) {
    m.mechanism.mechanism = Pick(in_, kMechanisms);
    if (in_.Choose(2) == 0) {
      m.parameter = Data(in_, 80);
      m.mechanism.pParameter = m.parameter.get();
      m.mechanism.ulParameterLen = m.parameter.length;
      return;
    }
    m.ecdh.kdf = Pick(in_, kKdfs);
    m.shared = Data(in_, 80);
    m.ecdh.pSharedData = m.shared.get();
    m.ecdh.ulSharedDataLen = m.shared.length;
    switch (in_.Choose(4)) {
      case 0: m.publicData = {std::vector<std::uint8_t>(std::begin(kPoint), std::end(kPoint)), true, sizeof(kPoint)}; break;
      case 1: {
        // The point as a DER OCTET STRING, as some applications send it.
        std::vector<std::uint8_t> der = {0x04, sizeof(kPoint)};
        der.insert(der.end(), std::begin(kPoint), std::end(kPoint));
        const CK_ULONG length = der.size();
        m.publicData = {std::move(der), true, length};
        break;
      }
      default: m.publicData = Data(in_, 140); break;
    }
    m.ecdh.pPublicData = m.publicData.get();
    m.ecdh.ulPublicDataLen = m.publicData.length;
    m.mechanism.pParameter = &m.ecdh;
    m.mechanism.ulParameterLen = in_.Choose(8) == 0 ? in_.Choose(sizeof(m.ecdh)) : sizeof(m.ecdh);
  }

  void Sign() {
    const CK_SESSION_HANDLE session = Session();
    const CK_OBJECT_HANDLE key = ObjectHandle();
    Mechanism m;
    MakeMechanism(m);
    p11_->C_SignInit(session, in_.Choose(16) == 0 ? nullptr : &m.mechanism, key);
    for (int round = 0; round < 3; ++round) {
      Buffer data = Data(in_, 100);
      Buffer signature = Room(in_, 80);
      CK_ULONG length = signature.length;
      CK_RV rv = CKR_OK;
      switch (in_.Choose(4)) {
        case 0: rv = p11_->C_Sign(session, data.get(), data.length, signature.get(), &length); break;
        case 1: p11_->C_SignUpdate(session, data.get(), data.length); break;
        case 2: rv = p11_->C_SignFinal(session, signature.get(), &length); break;
        default: return;
      }
      // An empty buffer is no buffer (its data() is null): a length query.
      if (rv == CKR_OK && signature.get() != nullptr && length > signature.length) {
        RoadFails("a signature longer than the room given was reported made");
      }
    }
  }

  void Derive() {
    const CK_SESSION_HANDLE session = Session();
    const CK_OBJECT_HANDLE base = ObjectHandle();
    Mechanism m;
    MakeMechanism(m);
    const bool noMechanism = in_.Choose(16) == 0;
    Template t = MakeTemplate(in_, true);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    if (p11_->C_DeriveKey(session, noMechanism ? nullptr : &m.mechanism, base, t.get(), t.count, &key) == CKR_OK &&
        objects_.size() < 64) {
      objects_.push_back(key);
    }
    if (in_.Choose(2) == 0) Unwrap(session);
  }

  // A key unwrapped under any object (a derived one among them) from input
  // bytes: the mechanism's initial value, the wrapped key, the template.
  void Unwrap(CK_SESSION_HANDLE session) {
    constexpr CK_MECHANISM_TYPE kWraps[] = {CKM_AES_KEY_WRAP, CKM_AES_KEY_WRAP_PAD, CKM_ECDH1_DERIVE};
    Buffer parameter = Data(in_, 12);
    CK_MECHANISM mechanism{Pick(in_, kWraps), parameter.get(), parameter.length};
    Buffer wrapped = Data(in_, 80);
    Template t = MakeTemplate(in_, true);
    CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
    if (p11_->C_UnwrapKey(session, &mechanism, ObjectHandle(), wrapped.get(), wrapped.length, t.get(), t.count,
                          &key) == CKR_OK &&
        objects_.size() < 64) {
      objects_.push_back(key);
    }
  }

  void Information() {
    switch (in_.Choose(5)) {
      case 0: {
        CK_TOKEN_INFO info;
        p11_->C_GetTokenInfo(Slot(), &info);
        break;
      }
      case 1: {
        CK_SESSION_INFO info;
        p11_->C_GetSessionInfo(Session(), &info);
        break;
      }
      case 2: {
        Buffer room = Room(in_, 16 * sizeof(CK_MECHANISM_TYPE));
        CK_ULONG count = room.length / sizeof(CK_MECHANISM_TYPE);
        p11_->C_GetMechanismList(Slot(), reinterpret_cast<CK_MECHANISM_TYPE_PTR>(room.get()), &count);
        break;
      }
      case 3: {
        CK_MECHANISM_INFO info;
        const CK_SLOT_ID slot = Slot();
        p11_->C_GetMechanismInfo(slot, Pick(in_, kMechanisms), &info);
        break;
      }
      default: {
        Buffer room = Room(in_, 4 * sizeof(CK_SLOT_ID));
        CK_ULONG count = room.length / sizeof(CK_SLOT_ID);
        p11_->C_GetSlotList(in_.Choose(2), reinterpret_cast<CK_SLOT_ID_PTR>(room.get()), &count);
        break;
      }
    }
  }

  // Other programs and the user between two calls.
  void CardEvent() {
    CardRack& rack = CardRack::Get();
    switch (in_.Choose(4)) {
      case 0:
        if (rack.Card(kReader) != nullptr) rack.ResetByAnotherProgram(kReader);
        break;
      case 1: rack.Pull(kReader); break;
      case 2: rack.Insert(kReader); break;
      default:
        // Another card behind a reset, with the same serial number or not.
        if (rack.Card(kReader) != nullptr) {
          emu::Personalisation other;
          if (in_.Choose(2) == 0) other.serial[0] ^= 0xFF;
          rack.SwapUnderReset(kReader, other);
        }
        break;
    }
  }

  RoadInput& in_;
  CK_FUNCTION_LIST* p11_;
  std::vector<CK_SESSION_HANDLE> sessions_;
  std::vector<CK_OBJECT_HANDLE> objects_;
};

}  // namespace

void DrivePkcs11Road(RoadInput& input) {
  const std::size_t liveBefore = host::HostHeap::Live();
  {
    // The module's cache of the card's objects goes to a folder of this road's own.
    char folder[] = "/tmp/vela-p11-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) return RoadFails("no folder for the cache");
    setenv("XDG_CACHE_HOME", folder, 1);
    test::RegistryScope registry;
    if (input.Choose(4) == 0) test::SetRegistryString(test::kSettingsKey, "Pkcs11KeepPin", "FALSE");
    CardRack::Get().Clear();
    CardRack::Get().Insert(kReader);
    CK_FUNCTION_LIST* p11 = nullptr;
    if (C_GetFunctionList(&p11) != CKR_OK) return RoadFails("no function list");
    Pkcs11Road(input, p11).Run();
    if (CardRack::Get().OpenTransactions() != 0) RoadFails("a transaction was left open");
    CardRack::Get().Clear();
    unsetenv("XDG_CACHE_HOME");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  if (host::HostHeap::Live() != liveBefore) RoadFails("host blocks left over");
}

}  // namespace vela::fuzz
