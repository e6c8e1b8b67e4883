// scinfo sections: the card properties as the module answers them, the
// settings it runs with, and whether the reader can take PINs on its keypad.
#include <algorithm>
#include <cstring>

#include "host/result_names.h"
#include "tool/command.h"
#include "tool/settings_source.h"

namespace vela::tool {
namespace {

using host::ResultName;

DWORD Dword(const BYTE* p) {
  DWORD v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// CardGetProperty into `buffer` (its first word the record version, where
// the property has one), noted among the module's answers.
DWORD GetProperty(Session& session, std::u16string_view name, DWORD flags, std::vector<BYTE>* buffer,
                  DWORD version = 0) {
  CARD_DATA* card = session.card();
  std::memcpy(buffer->data(), &version, sizeof version);
  DWORD length = 0;
  const std::u16string n(name);
  std::string call = "CardGetProperty ";  // appended, not "..." + string: GCC 12 warns of the latter (bug 105329)
  call += Narrow(name);
  if (flags != 0) call.append(" ").append(std::to_string(flags));
  if (card->pfnCardGetProperty == nullptr) return session.Answer(call, SCARD_E_UNSUPPORTED_FEATURE);
  const DWORD rc = session.Answer(
      call, card->pfnCardGetProperty(card, n.c_str(), buffer->data(), static_cast<DWORD>(buffer->size()), &length,
                                     flags));
  if (rc == 0) buffer->resize(length);
  return rc;
}

// A 4-byte property as a number (or a truth value), or the module's refusal
// by name.
Value DwordProperty(Session& session, std::u16string_view name, bool truth = false) {
  std::vector<BYTE> buffer(4);
  const DWORD rc = GetProperty(session, name, 0, &buffer);
  if (rc != 0) return ResultName(rc);
  return truth ? Value(Dword(buffer.data()) != 0) : Value(Dword(buffer.data()));
}

const char* CachePolicyName(DWORD policy) {
  static const char* const names[] = {"normal", "timed", "none", "always prompt"};
  return policy < 4 ? names[policy] : "unknown";
}

Value PinSet(DWORD set) {
  Value pins = Value::List();
  for (DWORD pin = 0; pin < 8; ++pin) {
    if (set & (1u << pin)) pins.Append(Value(pin));
  }
  return pins;
}

Value PinInformation(Session& session, PIN_ID pin) {
  std::vector<BYTE> buffer(sizeof(PIN_INFO));
  const DWORD rc = GetProperty(session, u"PIN Information", pin, &buffer, 6);
  if (rc != 0) return ResultName(rc);
  PIN_INFO info;
  std::memcpy(&info, buffer.data(), sizeof info);
  Value out = Value::Object();
  out.Set("pin", Value(pin));
  out.Set("type", info.PinType == ExternalPinType ? "external (PIN pad)" : "alphanumeric");
  out.Set("purpose", info.PinPurpose == PrimaryCardPin   ? "primary card PIN"
                     : info.PinPurpose == UnblockOnlyPin ? "unblock only"
                                                         : "other");
  out.Set("changedWith", PinSet(info.dwChangePermission));
  out.Set("unblockedWith", PinSet(info.dwUnblockPermission));
  out.Set("cachePolicy", CachePolicyName(static_cast<DWORD>(info.PinCachePolicy.PinCachePolicyType)));
  return out;
}

Value KeySizes(Session& session) {
  static const std::pair<const char*, DWORD> specs[] = {
      {"AT_KEYEXCHANGE", AT_KEYEXCHANGE}, {"AT_SIGNATURE", AT_SIGNATURE},   {"AT_ECDSA_P256", AT_ECDSA_P256},
      {"AT_ECDSA_P384", AT_ECDSA_P384},   {"AT_ECDSA_P521", AT_ECDSA_P521}, {"AT_ECDHE_P256", AT_ECDHE_P256},
      {"AT_ECDHE_P384", AT_ECDHE_P384},   {"AT_ECDHE_P521", AT_ECDHE_P521},
  };
  Value out = Value::Object();
  for (const auto& [name, spec] : specs) {
    std::vector<BYTE> buffer(sizeof(CARD_KEY_SIZES));
    const DWORD rc = GetProperty(session, u"Key Sizes", spec, &buffer, 1);
    if (rc != 0) {
      out.Set(name, ResultName(rc));
      continue;
    }
    CARD_KEY_SIZES sizes;
    std::memcpy(&sizes, buffer.data(), sizeof sizes);
    out.Set(name, std::to_string(sizes.dwMinimumBitlen) + " to " + std::to_string(sizes.dwMaximumBitlen) +
                      " bits, default " + std::to_string(sizes.dwDefaultBitlen) + ", step " +
                      std::to_string(sizes.dwIncrementalBitlen));
  }
  return out;
}

void AddProperties(Session& session, Value& report) {
  Value& p = report.Set("properties", Value::Object());
  p.Set("readOnly", DwordProperty(session, u"Read Only Mode", true));
  p.Set("cacheMode", DwordProperty(session, u"Cache Mode"));
  p.Set("windowsX509Enrollment", DwordProperty(session, u"Supports Windows x.509 Enrollment", true));
  p.Set("keyImport", DwordProperty(session, u"Key Import Support"));

  std::vector<BYTE> buffer(sizeof(CARD_CAPABILITIES));
  if (const DWORD rc = GetProperty(session, u"Capabilities", 0, &buffer, 1); rc == 0) {
    Value& caps = p.Set("capabilities", Value::Object());
    caps.Set("certificateCompression", Dword(buffer.data() + 4) != 0);
    caps.Set("keyGeneration", Dword(buffer.data() + 8) != 0);
  } else {
    p.Set("capabilities", ResultName(rc));
  }
  p.Set("keySizes", KeySizes(session));

  buffer.assign(sizeof(CARD_FREE_SPACE_INFO), 0);
  if (const DWORD rc = GetProperty(session, u"Free Space", 0, &buffer, 1); rc == 0) {
    Value& space = p.Set("freeSpace", Value::Object());
    space.Set("bytesAvailable", Dword(buffer.data() + 4));
    space.Set("containersAvailable", Dword(buffer.data() + 8));
    space.Set("maxContainers", Dword(buffer.data() + 12));
  } else {
    p.Set("freeSpace", ResultName(rc));
  }

  buffer.assign(4, 0);
  const DWORD listRc = GetProperty(session, u"PIN List", 0, &buffer);
  p.Set("pinList", listRc == 0 ? PinSet(Dword(buffer.data())) : Value(ResultName(listRc)));
  Value& pins = p.Set("pins", Value::List());
  pins.Append(PinInformation(session, ROLE_USER));
  pins.Append(PinInformation(session, ROLE_ADMIN));
}

void AddSettings(Session& session, Value& report) {
  Value& s = report.Set("settings", ConfiguredSettings());

  // What the module made of them, as its properties show it.
  Value& effective = s.Set("effective", Value::Object());
  effective.Set("cacheMode", DwordProperty(session, u"Cache Mode"));
  std::vector<BYTE> buffer(sizeof(PIN_INFO));
  if (const DWORD rc = GetProperty(session, u"PIN Information", ROLE_USER, &buffer, 6); rc == 0) {
    PIN_INFO info;
    std::memcpy(&info, buffer.data(), sizeof info);
    effective.Set("userPinCachePolicy",
                  CachePolicyName(static_cast<DWORD>(info.PinCachePolicy.PinCachePolicyType)));
    effective.Set("pinPad", info.PinType == ExternalPinType ? "in use" : "off");
  } else {
    effective.Set("userPinCachePolicy", ResultName(rc));
  }
}

// Whether the reader lists PIN verification (direct, or start and finish).
bool ReaderVerifiesPins(std::uintptr_t card) {
  std::vector<std::uint8_t> reply;
  if (host::ReaderFeatureList(card, &reply) != 0) return false;
  bool direct = false, start = false, finish = false;
  for (std::size_t at = 0; at + 6 <= reply.size(); at += 6) {
    direct |= reply[at] == 0x06;
    start |= reply[at] == 0x01;
    finish |= reply[at] == 0x02;
  }
  return direct || (start && finish);
}

void AddPinPad(Session& session, Value& report) {
  const bool offers = ReaderVerifiesPins(session.card()->hScard);
  Value& pad = report.Set("pinPad", Value::Object());
  pad.Set("readerVerifiesPins", offers);
  if (!offers) return;
  std::vector<BYTE> buffer(sizeof(PIN_INFO));
  const bool inUse = GetProperty(session, u"PIN Information", ROLE_USER, &buffer, 6) == 0 &&
                     Dword(buffer.data() + 4) == static_cast<DWORD>(ExternalPinType);
  pad.Set("note", inUse ? "PINs are typed on the reader's keypad; PINs given by the host are not used"
                        : "the reader can take PINs on its keypad; set usePinPad to TRUE to use it");
}

const RegisterScinfoSection kPropertiesSection{{20, "properties", AddProperties}};
const RegisterScinfoSection kSettingsSection{{30, "settings", AddSettings}};
const RegisterScinfoSection kPinPadSection{{31, "pinPad", AddPinPad}};

}  // namespace
}  // namespace vela::tool
