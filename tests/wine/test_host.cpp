// vela3ro-host.exe: a Windows host for vela3ro.dll under Wine. It loads the
// DLL with LoadLibrary, plays the provider's part (CARD_DATA, allocator, free,
// pad callback) on the card behind winscard.dll, checks what it can in
// process, and writes what needs OpenSSL (certificates, signatures, derived
// keys) to files for the Linux side. Every check prints "ok NAME" or
// "FAIL NAME: detail"; the exit code is the number of failures.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/minidriver_abi.h"
#include "host_report.h"
#include "host_system.h"
#include "low_resource.h"

namespace md = vela;

namespace {

using namespace vela::winetest;

constexpr char kNoticeCaption[] = "VELA BaseCSP ReadOnly Minitreiber";
constexpr char kNoticeText[] = "Bitte geben Sie eine PIN auf dem PinPad ein.";
constexpr std::uint32_t kCalgSha256 = 0x800C;

bool ParseHex(const char* text, Bytes* out) {
  out->clear();
  const std::size_t n = std::strlen(text);
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end = nullptr;
    const long value = std::strtol(pair, &end, 16);
    if (end != pair + 2) return false;
    out->push_back(static_cast<std::uint8_t>(value));
  }
  return true;
}

bool SaveFile(const std::string& path, const std::uint8_t* data, std::size_t length) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, length, f) == length;
  return std::fclose(f) == 0 && ok;
}

// ---- The provider's side of CARD_DATA -----------------------------------------

// Every block the module gets from the host is recorded until it is freed,
// so the road can end by checking that nothing was lost across the boundary.
std::unordered_set<void*>& LiveBlocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}

void* VELA_WINAPI HostAlloc(md::SIZE_T size) {
  if (NextHostAllocationFails()) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) LiveBlocks().insert(block);
  return block;
}

void* VELA_WINAPI HostReAlloc(void* block, md::SIZE_T size) {
  if (NextHostAllocationFails()) return nullptr;
  LiveBlocks().erase(block);
  void* moved = std::realloc(block, size == 0 ? 1 : size);
  if (moved != nullptr) LiveBlocks().insert(moved);
  return moved;
}

void VELA_WINAPI HostFree(void* block) {
  if (block == nullptr) return;
  if (LiveBlocks().erase(block) == 0) {
    Check(false, "host-free", "a block the host never handed out");
    return;
  }
  std::free(block);
}

// A provider hands the hash over in its own byte order, least significant
// byte first; the module turns it back before the card signs it.
md::DWORD VELA_WINAPI HostPadData(md::CARD_SIGNING_INFO* info, md::DWORD maxWidth, md::DWORD* paddedLength,
                                  md::PBYTE* padded) {
  if (info == nullptr || paddedLength == nullptr || padded == nullptr || info->cbData > maxWidth * 2) {
    return md::SCARD_E_INVALID_PARAMETER;
  }
  auto* block = static_cast<md::PBYTE>(HostAlloc(info->cbData));
  if (block == nullptr) return md::SCARD_E_NO_MEMORY;
  for (md::DWORD i = 0; i < info->cbData; ++i) block[i] = info->pbData[info->cbData - 1 - i];
  *padded = block;
  *paddedLength = info->cbData;
  return 0;
}

using AcquireFunction = md::DWORD(VELA_WINAPI*)(md::CARD_DATA*, md::DWORD);

// The reader, the card and the loaded module, as a provider holds them.
class Host {
 public:
  ~Host() { Close(); }

  // `dllPath` "registered": the module the registry names for this card.
  bool Open(const char* dllPath) {
    if (!ConnectCard(&card_)) return false;
    module_ = std::strcmp(dllPath, "registered") == 0 ? LoadRegisteredModule(card_.atr) : LoadModule(dllPath);
    if (module_ == nullptr) return false;
    acquire_ = reinterpret_cast<AcquireFunction>(ModuleFunction(module_, "CardAcquireContext"));
    return acquire_ != nullptr;
  }

  md::DWORD Acquire() {
    data_ = {};
    data_.dwVersion = md::CARD_DATA_CURRENT_VERSION;
    data_.pbAtr = card_.atr.data();
    data_.cbAtr = static_cast<md::DWORD>(card_.atr.size());
    data_.pwszCardName = cardName_;
    data_.pfnCspAlloc = HostAlloc;
    data_.pfnCspReAlloc = HostReAlloc;
    data_.pfnCspFree = HostFree;
    data_.pfnCspPadData = HostPadData;
    data_.hSCardCtx = card_.context;
    data_.hScard = card_.card;
    return acquire_(&data_, 0);
  }

  // Loads the module and acquires a context on the card.
  bool Start(const char* dllPath) {
    if (!Open(dllPath)) return false;
    const md::DWORD rc = Acquire();
    Check(rc == 0, "acquire", Code(rc));
    return rc == 0;
  }

  // Deletes the context, then lets go of the module and the card.
  void Finish() {
    const md::DWORD rc = data_.pfnCardDeleteContext(&data_);
    Check(rc == 0 && data_.pvVendorSpecific == nullptr, "delete-context", Code(rc));
    Close();
  }

  void Close() {
    UnloadModule(module_);
    module_ = nullptr;
    DisconnectCard(&card_);
  }

  md::CARD_DATA* data() { return &data_; }
  md::CARD_DATA* operator->() { return &data_; }

 private:
  CardConnection card_;
  void* module_ = nullptr;
  AcquireFunction acquire_ = nullptr;
  md::CARD_DATA data_{};
  md::WCHAR cardName_[17] = u"VELA G3 ReadOnly";
};

// A file read through the module, as the host owns it afterwards.
md::DWORD ReadCardFile(Host& host, const char* dir, const char* file, Bytes* content) {
  md::PBYTE data = nullptr;
  md::DWORD length = 0;
  const md::DWORD rc = host->pfnCardReadFile(host.data(), const_cast<char*>(dir), const_cast<char*>(file), 0,
                                             &data, &length);
  content->assign(data, data + (data != nullptr ? length : 0));
  HostFree(data);
  return rc;
}

std::string Narrow(const md::WCHAR* text, std::size_t max) {
  std::string out;
  for (std::size_t i = 0; i < max && text[i] != 0; ++i) out += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
  return out;
}

md::DWORD GetProperty(Host& host, const char16_t* name, void* value, md::DWORD size, md::DWORD flags) {
  md::DWORD written = 0;
  return host->pfnCardGetProperty(host.data(), name, static_cast<md::PBYTE>(value), size, &written, flags);
}

md::DWORD UserPinInfo(Host& host, md::PIN_INFO* info) {
  info->dwVersion = 6;
  return GetProperty(host, u"PIN Information", info, sizeof *info, md::ROLE_USER);
}

md::DWORD Authenticate(Host& host, const Bytes& pin) {
  md::DWORD attempts = 0xFFFFFFFF;
  return host->pfnCardAuthenticateEx(host.data(), md::ROLE_USER, 0, const_cast<md::PBYTE>(pin.data()),
                                     static_cast<md::DWORD>(pin.size()), nullptr, nullptr, &attempts);
}

// DER form of an r||s signature, for OpenSSL on the Linux side.
Bytes SignatureDer(const std::uint8_t* rs) {
  auto integer = [](const std::uint8_t* value) {
    std::size_t skip = 0;
    while (skip < 31 && value[skip] == 0) ++skip;
    Bytes out = {0x02};
    const bool pad = (value[skip] & 0x80) != 0;
    out.push_back(static_cast<std::uint8_t>(32 - skip + (pad ? 1 : 0)));
    if (pad) out.push_back(0);
    out.insert(out.end(), value + skip, value + 32);
    return out;
  };
  const Bytes r = integer(rs), s = integer(rs + 32);
  Bytes der = {0x30, static_cast<std::uint8_t>(r.size() + s.size())};
  der.insert(der.end(), r.begin(), r.end());
  der.insert(der.end(), s.begin(), s.end());
  return der;
}

// ---- road: the typical road of a provider that signs and agrees keys -----------

md::DWORD Sign(Host& host, const Bytes& hash, std::uint32_t hashAlg, Bytes* signature) {
  md::CARD_SIGNING_INFO info{};
  info.dwVersion = 1;
  info.bContainerIndex = 0;
  info.dwKeySpec = md::AT_ECDSA_P256;
  info.aiHashAlg = hashAlg;
  info.pbData = const_cast<md::PBYTE>(hash.data());
  info.cbData = static_cast<md::DWORD>(hash.size());
  const md::DWORD rc = host->pfnCardSignData(host.data(), &info);
  signature->assign(info.pbSignedData, info.pbSignedData + (info.pbSignedData != nullptr ? info.cbSignedData : 0));
  HostFree(info.pbSignedData);
  return rc;
}

int Road(const char* dll, const std::string& out, const Bytes& pin, const Bytes& hash, const Bytes& peer) {
  Host host;
  const std::size_t liveBefore = LiveBlocks().size();
  if (!host.Start(dll)) return failures;
  md::DWORD rc = 0;
  Check(host->dwVersion == 7, "acquire-version", std::to_string(host->dwVersion));

  Bytes file;
  rc = ReadCardFile(host, nullptr, "cardcf", &file);
  Check(rc == 0 && file == Bytes(6, 0), "read-cardcf", Code(rc) + " " + Hex(file));
  rc = ReadCardFile(host, nullptr, "cardid", &file);
  Check(rc == 0 && file.size() == 16 && Bytes(file.begin(), file.begin() + 6) == Bytes(6, 0), "read-cardid",
        Code(rc) + " " + Hex(file));
  if (file.size() == 16) Report("serial", Hex(file.data() + 6, 10));

  rc = ReadCardFile(host, "mscp", "cmapfile", &file);
  Check(rc == 0 && file.size() == 16 * sizeof(md::CONTAINER_MAP_RECORD), "read-cmapfile",
        Code(rc) + " size " + std::to_string(file.size()));
  if (file.size() == 16 * sizeof(md::CONTAINER_MAP_RECORD)) {
    md::CONTAINER_MAP_RECORD first;
    std::memcpy(&first, file.data(), sizeof first);
    Check(first.bFlags == 3 && first.wSigKeySizeBits == 256, "cmapfile-default-container",
          "flags " + std::to_string(first.bFlags) + " bits " + std::to_string(first.wSigKeySizeBits));
    Report("container0-name", Narrow(first.wszGuid, md::MAX_CONTAINER_NAME_LEN + 1));
  }

  char* names = nullptr;
  md::DWORD namesLength = 0;
  rc = host->pfnCardEnumFiles(host.data(), const_cast<char*>("mscp"), &names, &namesLength, 0);
  // Names each end in a zero byte, and one more zero byte ends the list.
  std::string listing;
  for (md::DWORD i = 0; names != nullptr && i < namesLength; ++i) listing += names[i] == 0 ? '|' : names[i];
  HostFree(names);
  const std::string ending = "|cmapfile||";
  Check(rc == 0 && listing.rfind("ksc00|", 0) == 0 && listing.find("|kxc04|") != std::string::npos &&
            listing.size() > ending.size() && listing.compare(listing.size() - ending.size(), ending.size(), ending) == 0,
        "enum-mscp", Code(rc) + " [" + listing + "]");

  for (const char* name : {"ksc00", "kxc04"}) {
    rc = ReadCardFile(host, "mscp", name, &file);
    Check(rc == 0 && file.size() > 255 && file[0] == 0x30, name, Code(rc) + " size " + std::to_string(file.size()));
    SaveFile(out + "/" + name + ".der", file.data(), file.size());
  }

  for (md::BYTE index : {0, 4}) {
    md::CONTAINER_INFO info{};
    info.dwVersion = 1;
    rc = host->pfnCardGetContainerInfo(host.data(), index, 0, &info);
    const bool signing = index == 0;
    const md::PBYTE blob = signing ? info.pbSigPublicKey : info.pbKeyExPublicKey;
    const md::DWORD blobLength = signing ? info.cbSigPublicKey : info.cbKeyExPublicKey;
    const std::uint32_t magic = signing ? md::BCRYPT_ECDSA_PUBLIC_P256_MAGIC : md::BCRYPT_ECDH_PUBLIC_P256_MAGIC;
    std::uint32_t header[2] = {};
    if (blob != nullptr && blobLength == 72) std::memcpy(header, blob, 8);
    const std::string name = "container-info-" + std::to_string(index);
    Check(rc == 0 && blobLength == 72 && header[0] == magic && header[1] == 32, name.c_str(),
          Code(rc) + " size " + std::to_string(blobLength));
    if (blob != nullptr && blobLength == 72) SaveFile(out + "/" + name + ".bin", blob + 8, 64);
    HostFree(info.pbSigPublicKey);
    HostFree(info.pbKeyExPublicKey);
  }

  Bytes signature;
  rc = Sign(host, hash, 0, &signature);
  Check(rc == md::SCARD_W_SECURITY_VIOLATION, "sign-before-pin", Code(rc));

  rc = Authenticate(host, pin);
  Check(rc == 0, "verify-pin", Code(rc));

  rc = Sign(host, hash, 0, &signature);
  Check(rc == 0 && signature.size() == 64, "sign-hash", Code(rc) + " size " + std::to_string(signature.size()));
  if (signature.size() == 64) {
    const Bytes der = SignatureDer(signature.data());
    SaveFile(out + "/signature.der", der.data(), der.size());
  }
  // The same hash through the provider's pad callback, in its byte order.
  rc = Sign(host, hash, kCalgSha256, &signature);
  Check(rc == 0 && signature.size() == 64, "sign-padded", Code(rc) + " size " + std::to_string(signature.size()));
  if (signature.size() == 64) {
    const Bytes der = SignatureDer(signature.data());
    SaveFile(out + "/signature-padded.der", der.data(), der.size());
  }

  // Key agreement with container 4 and the peer's point, then two derivations.
  Bytes blob(8 + peer.size());
  const std::uint32_t header[2] = {md::BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), header, 8);
  std::memcpy(blob.data() + 8, peer.data(), peer.size());
  md::CARD_DH_AGREEMENT_INFO agreement{};
  agreement.dwVersion = 2;
  agreement.bContainerIndex = 4;
  agreement.dwPublicKey = static_cast<md::DWORD>(blob.size());
  agreement.pbPublicKey = blob.data();
  rc = host->pfnCardConstructDHAgreement(host.data(), &agreement);
  Check(rc == 0 && agreement.bSecretAgreementIndex == 0, "agree", Code(rc));

  static const char prepend[] = "vela-prepend";
  static const char append[] = "vela-append";
  static const char label[] = "key expansion";
  std::uint8_t seed[64];
  for (int i = 0; i < 64; ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
  char16_t sha256Name[] = u"SHA256";
  md::BCryptBuffer hashParameters[] = {
      {sizeof sha256Name, 0, sha256Name},
      {sizeof prepend - 1, 1, const_cast<char*>(prepend)},
      {sizeof append - 1, 2, const_cast<char*>(append)},
  };
  // SHA-512 too, so that its vector code runs in the DLL (the secret is the key).
  char16_t sha512Name[] = u"SHA512";
  md::BCryptBuffer hmacParameters[] = {
      {sizeof sha512Name, 0, sha512Name},
      {sizeof prepend - 1, 1, const_cast<char*>(prepend)},
      {sizeof append - 1, 2, const_cast<char*>(append)},
  };
  md::BCryptBuffer tlsParameters[] = {
      {sizeof label, 4, const_cast<char*>(label)},
      {sizeof seed, 5, seed},
  };
  struct Derivation {
    const char* name;
    const char16_t* kdf;
    md::BCryptBufferDesc parameters;
    md::DWORD length;
  } derivations[] = {
      {"derive-hash", u"HASH", {0, 3, hashParameters}, 32},
      {"derive-hmac-sha512", u"HMAC", {0, 3, hmacParameters}, 64},
      {"derive-tls-prf", u"TLS_PRF", {0, 2, tlsParameters}, 48},
  };
  for (Derivation& d : derivations) {
    std::uint8_t key[64] = {};
    md::CARD_DERIVE_KEY derive{};
    derive.dwVersion = 2;
    derive.pwszKDF = d.kdf;
    derive.bSecretAgreementIndex = agreement.bSecretAgreementIndex;
    derive.pParameterList = &d.parameters;
    derive.pbDerivedKey = key;
    derive.cbDerivedKey = sizeof key;
    rc = host->pfnCardDeriveKey(host.data(), &derive);
    Check(rc == 0 && derive.cbDerivedKey == d.length, d.name,
          Code(rc) + " length " + std::to_string(derive.cbDerivedKey));
    if (rc == 0) SaveFile(out + "/" + d.name + ".bin", key, derive.cbDerivedKey);
  }
  rc = host->pfnCardDestroyDHAgreement(host.data(), agreement.bSecretAgreementIndex, 0);
  Check(rc == 0, "destroy-agreement", Code(rc));

  rc = host->pfnCardDeauthenticate(host.data(), const_cast<md::WCHAR*>(u"user"), 0);
  Check(rc == 0, "deauthenticate", Code(rc));
  rc = Sign(host, hash, 0, &signature);
  Check(rc == md::SCARD_W_SECURITY_VIOLATION, "sign-after-deauthenticate", Code(rc));

  host.Finish();
  Check(LiveBlocks().size() == liveBefore, "host-blocks-returned",
        std::to_string(LiveBlocks().size() - liveBefore) + " left");
  return failures;
}

// ---- properties: what the settings in the registry made of the context -----

int Properties(const char* dll) {
  Host host;
  if (!host.Start(dll)) return failures;

  md::DWORD cacheMode = 0xFFFFFFFF;
  md::DWORD rc = GetProperty(host, u"Cache Mode", &cacheMode, sizeof cacheMode, 0);
  Check(rc == 0, "cache-mode-property", Code(rc));
  Report("cache-mode", std::to_string(cacheMode));

  md::PIN_INFO pinInfo{};
  rc = UserPinInfo(host, &pinInfo);
  Check(rc == 0, "pin-info-property", Code(rc));
  Report("user-pin-cache-policy", std::to_string(pinInfo.PinCachePolicy.PinCachePolicyType));
  Report("user-pin-type", std::to_string(pinInfo.PinType));

  host.Finish();
  return failures;
}

// ---- pinpad: the notice while the reader's keypad waits ------------------------

int PinPad(const char* dll) {
  Host host;
  if (!host.Start(dll)) return failures;

  md::PIN_INFO pinInfo{};
  md::DWORD rc = UserPinInfo(host, &pinInfo);
  Check(rc == 0 && pinInfo.PinType == md::ExternalPinType, "pin-type-external",
        Code(rc) + " type " + std::to_string(pinInfo.PinType));

  // The provider's own window owns the notice.
  void* parent = CreateOwnerWindow();
  rc = host->pfnCardSetProperty(host.data(), u"Parent Window", reinterpret_cast<md::PBYTE>(&parent), sizeof parent,
                                0);
  Check(rc == 0, "parent-window", Code(rc));

  NoticeWatch watch(kNoticeCaption, kNoticeText);
  // The keypad collects the PIN; the host's bytes are not used.
  rc = Authenticate(host, Bytes(6, '0'));
  const NoticeWatch::Sighting sighting = watch.Stop();
  Check(rc == 0, "verify-on-pinpad", Code(rc));
  Check(sighting.seen, "notice-shown");
  Check(sighting.expectedTextWhileWaiting, "notice-text", "\"" + sighting.text + "\"");
  Check(sighting.topmost, "notice-topmost");
  Check(sighting.owner == parent, "notice-owner");
  Report("notice-control", sighting.controlClass + " id " + std::to_string(sighting.controlId));
  Check(!WindowExists(kNoticeCaption), "notice-destroyed");

  host.Finish();
  DestroyOwnerWindow(parent);
  return failures;
}

// ---- logged: a short road while the module writes its log ----------------------

// Names the log file this process will write, waits for a line on standard
// input (the script plants something at that name meanwhile), then reads the
// card's files as a provider does.
int Logged(const char* dll) {
  std::printf("log-file: %s\n", TodaysLogFileName().c_str());
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return 1;
  Host host;
  if (!host.Start(dll)) return failures;
  Bytes file;
  for (const char* name : {"cardid", "cardcf"}) {
    const md::DWORD rc = ReadCardFile(host, nullptr, name, &file);
    Check(rc == 0, name, Code(rc));
  }
  host.Finish();
  return failures;
}

// ---- low-resource: allocations failing as a kit's low-resource mode fails them --

// The generator of P-256, a valid peer point for the agreement.
const md::BYTE kPeerPoint[64] = {
    0x6B, 0x17, 0xD1, 0xF2, 0xE1, 0x2C, 0x42, 0x47, 0xF8, 0xBC, 0xE6, 0xE5, 0x63, 0xA4, 0x40, 0xF2,
    0x77, 0x03, 0x7D, 0x81, 0x2D, 0xEB, 0x33, 0xA0, 0xF4, 0xA1, 0x39, 0x45, 0xD8, 0x98, 0xC2, 0x96,
    0x4F, 0xE3, 0x42, 0xE2, 0xFE, 0x1A, 0x7F, 0x9B, 0x8E, 0xE7, 0xEB, 0x4A, 0x7C, 0x0F, 0x9E, 0x16,
    0x2B, 0xCE, 0x33, 0x57, 0x6B, 0x31, 0x5E, 0xCE, 0xCB, 0xB6, 0x40, 0x68, 0x37, 0xBF, 0x51, 0xF5};

md::DWORD Agree(Host& host, md::BYTE* slot) {
  md::BYTE blob[72];
  const std::uint32_t header[2] = {md::BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, header, 8);
  std::memcpy(blob + 8, kPeerPoint, 64);
  md::CARD_DH_AGREEMENT_INFO agreement{};
  agreement.dwVersion = 2;
  agreement.bContainerIndex = 4;
  agreement.dwPublicKey = sizeof blob;
  agreement.pbPublicKey = blob;
  const md::DWORD rc = host->pfnCardConstructDHAgreement(host.data(), &agreement);
  *slot = agreement.bSecretAgreementIndex;
  return rc;
}

md::DWORD DeriveHash(Host& host) {
  char16_t sha256Name[] = u"SHA256";
  md::BCryptBuffer parameters[] = {{sizeof sha256Name, 0, sha256Name}};
  md::CARD_DERIVE_KEY derive{};
  derive.dwVersion = 2;
  derive.pwszKDF = u"HASH";
  derive.bSecretAgreementIndex = 0;
  md::BCryptBufferDesc list{0, 1, parameters};
  derive.pParameterList = &list;
  derive.dwFlags = 0;
  const md::DWORD rc = host->pfnCardDeriveKey(host.data(), &derive);
  HostFree(derive.pbDerivedKey);
  return rc;
}

enum class Needs { kContext, kPin, kAgreement, kNothing };

struct LowResourceOperation {
  const char* name;
  Needs needs;
  md::DWORD (*run)(Host& host, const Bytes& pin);
  // Beside the codes of a missing buffer: a certificate that could not be
  // read is not there, whatever stopped the reading.
  md::DWORD alsoAnswered = 0;
};

const LowResourceOperation kLowResourceOperations[] = {
    {"acquire", Needs::kNothing, [](Host& host, const Bytes&) { return host.Acquire(); }},
    {"read-cardid", Needs::kContext,
     [](Host& host, const Bytes&) {
       Bytes file;
       return ReadCardFile(host, nullptr, "cardid", &file);
     }},
    {"read-certificate", Needs::kContext,
     [](Host& host, const Bytes&) {
       Bytes file;
       return ReadCardFile(host, "mscp", "ksc00", &file);
     },
     md::SCARD_E_FILE_NOT_FOUND},
    {"enum-files", Needs::kContext,
     [](Host& host, const Bytes&) {
       char* names = nullptr;
       md::DWORD length = 0;
       const md::DWORD rc = host->pfnCardEnumFiles(host.data(), const_cast<char*>("mscp"), &names, &length, 0);
       HostFree(names);
       return rc;
     }},
    {"container-info", Needs::kContext,
     [](Host& host, const Bytes&) {
       md::CONTAINER_INFO info{};
       info.dwVersion = 1;
       const md::DWORD rc = host->pfnCardGetContainerInfo(host.data(), 0, 0, &info);
       HostFree(info.pbSigPublicKey);
       HostFree(info.pbKeyExPublicKey);
       return rc;
     }},
    {"pin", Needs::kContext, [](Host& host, const Bytes& pin) { return Authenticate(host, pin); }},
    {"sign", Needs::kPin,
     [](Host& host, const Bytes&) {
       Bytes signature;
       return Sign(host, Bytes(32, 0x5A), 0, &signature);
     }},
    {"agreement", Needs::kPin,
     [](Host& host, const Bytes&) {
       md::BYTE slot = 0xFF;
       const md::DWORD rc = Agree(host, &slot);
       if (rc == 0) host->pfnCardDestroyDHAgreement(host.data(), slot, 0);
       return rc;
     }},
    {"derivation", Needs::kAgreement, [](Host& host, const Bytes&) { return DeriveHash(host); }},
    {"delete", Needs::kContext,
     [](Host& host, const Bytes&) { return host->pfnCardDeleteContext(host.data()); }},
};

bool Answered(const LowResourceOperation& op, md::DWORD rc) {
  return rc == 0 || rc == md::SCARD_E_NO_MEMORY || rc == md::SCARD_F_INTERNAL_ERROR ||
         (op.alsoAnswered != 0 && rc == op.alsoAnswered);
}

// A fresh context brought to what the operation needs, without failures.
bool Prepare(Host& host, Needs needs, const Bytes& pin) {
  if (needs == Needs::kNothing) return true;
  if (host.Acquire() != 0) return false;
  if (needs != Needs::kContext && Authenticate(host, pin) != 0) return false;
  md::BYTE slot = 0xFF;
  return needs != Needs::kAgreement || (Agree(host, &slot) == 0 && slot == 0);
}

// After the operation, with failures off: the context still reads the card
// (a new one when the operation was its acquire or its end) and is deleted.
bool StillWorks(Host& host, const LowResourceOperation& op, md::DWORD rc) {
  const bool fresh = op.needs == Needs::kNothing ? rc != 0 : std::strcmp(op.name, "delete") == 0 && rc == 0;
  if (fresh && host.Acquire() != 0) return false;
  Bytes file;
  if (ReadCardFile(host, nullptr, "cardid", &file) != 0 || file.size() != 16) return false;
  host->pfnCardDeauthenticate(host.data(), const_cast<md::WCHAR*>(u"user"), 0);
  return host->pfnCardDeleteContext(host.data()) == 0;
}

struct LowResourceRun {
  Host* host;
  const Bytes* pin;
  std::size_t step;
};

// Every operation, its n-th allocation failing for n = 1, 1 + step, ...
// until one run fails none.
void EveryAllocationOfEachOperation(void* argument) {
  auto* run = static_cast<LowResourceRun*>(argument);
  for (const LowResourceOperation& op : kLowResourceOperations) {
    std::string codes;
    std::size_t n = 1;
    bool sound = true;
    for (; n < 2000; n += run->step) {
      if (!Prepare(*run->host, op.needs, *run->pin)) {
        sound = false;
        codes += " (not prepared)";
        break;
      }
      PlanAllocationFailures(n, false, true);
      const md::DWORD rc = op.run(*run->host, *run->pin);
      const bool failed = AllocationFailed();
      EndAllocationFailures();
      const std::string code = Code(rc);
      if (codes.find(code) == std::string::npos) codes += " " + code;
      if (!Answered(op, rc) || !StillWorks(*run->host, op, rc)) {
        sound = false;
        codes += " (allocation " + std::to_string(n) + " left it unusable)";
        break;
      }
      if (!failed) break;
    }
    Report(("low-resource " + std::string(op.name)).c_str(),
           "failed allocations 1 to " + std::to_string(n - 1) + " in steps of " + std::to_string(run->step) +
               ", results" + codes);
    Check(sound, ("every-allocation-" + std::string(op.name)).c_str(), codes);
  }
}

// Every allocation failing in a thread that never ran the module before.
void EveryAllocationOfAFreshThread(void* argument) {
  auto* run = static_cast<LowResourceRun*>(argument);
  PlanAllocationFailures(1, true, false);
  for (const LowResourceOperation& op : kLowResourceOperations) {
    if (op.needs == Needs::kNothing) {
      const md::DWORD rc = op.run(*run->host, *run->pin);
      Report("fresh-thread acquire", Code(rc));
      Check(rc != 0 && Answered(op, rc), "fresh-thread-acquire", Code(rc));
      if (rc == 0) run->host->data()->pfnCardDeleteContext(run->host->data());
      continue;
    }
    EndAllocationFailures();
    if (!Prepare(*run->host, op.needs, *run->pin)) {
      Check(false, "fresh-thread-prepare", op.name);
      return;
    }
    PlanAllocationFailures(1, true, false);
    const md::DWORD rc = op.run(*run->host, *run->pin);
    EndAllocationFailures();
    Report(("fresh-thread " + std::string(op.name)).c_str(), Code(rc));
    Check(Answered(op, rc) && StillWorks(*run->host, op, rc), ("fresh-thread-" + std::string(op.name)).c_str(),
          Code(rc));
    PlanAllocationFailures(1, true, false);
  }
  EndAllocationFailures();
}

int LowResource(const char* dll, const Bytes& pin, std::size_t step) {
  Host host;
  if (!host.Open(dll)) return failures;
  // The module stays loaded (Open's load): the patched imports stay too.
  void* module = LoadModule(dll);
  Check(PatchAllocatorImports(module) >= 2, "allocator-imports-patched");
  LowResourceRun run{&host, &pin, step};
  RunOnFreshThread(EveryAllocationOfAFreshThread, &run);
  RunOnFreshThread(EveryAllocationOfEachOperation, &run);
  Check(host.Acquire() == 0, "acquire-after-low-resource");
  host.Finish();
  UnloadModule(module);
  return failures;
}

// ---- unload-cycles: what a load and unload leave on the process's heaps ------

int UnloadCycles(const char* dll, int cycles) {
  // The first load's lasting part (the loader's own records) is not a cycle's.
  UnloadModule(LoadModule(dll));
  const HeapUse before = ProcessHeapUse();
  for (int i = 0; i < cycles; ++i) UnloadModule(LoadModule(dll));
  const HeapUse after = ProcessHeapUse();
  const long long bytes = static_cast<long long>(after.bytes) - static_cast<long long>(before.bytes);
  const long long blocks = static_cast<long long>(after.blocks) - static_cast<long long>(before.blocks);
  Report("heap-growth", std::to_string(bytes) + " bytes in " + std::to_string(blocks) + " blocks over " +
                            std::to_string(cycles) + " cycles (" + std::to_string(bytes / cycles) + " bytes a cycle)");
  // Wine's own bookkeeping may move by a few blocks; a cycle's leak is a
  // block or more per cycle.
  Check(blocks < cycles / 4 && bytes < 4096, "unload-leaves-nothing");
  return failures;
}

// ---- exit-locks: the process ends while a thread holds a lock of the runtime shim --

int ExitLocks(const char* probeDll) {
  void* probe = LoadModule(probeDll);
  if (probe == nullptr) return failures;
  auto wait = reinterpret_cast<void (*)()>(ModuleFunction(probe, "ProbeWaitHeld"));
  for (const char* name : {"ProbeHoldLock", "ProbeHoldOnce"}) {
    void* function = ModuleFunction(probe, name);
    if (function == nullptr || wait == nullptr) return failures;
    StartThread(reinterpret_cast<void (*)()>(function));
    wait();
  }
  std::printf("holding; ending the process\n");
  std::fflush(stdout);
  EndProcess(0);
  return failures;
}

int Usage() {
  std::fprintf(stderr,
               "usage: vela3ro-host road DLL OUTDIR PINHEX HASHHEX PEERHEX\n"
               "       (DLL \"registered\": the module registered for the card's ATR)\n"
               "       vela3ro-host properties DLL\n"
               "       vela3ro-host pinpad DLL\n"
               "       vela3ro-host logged DLL\n"
               "       vela3ro-host low-resource DLL PINHEX STEP\n"
               "       vela3ro-host unload-cycles DLL COUNT\n"
               "       vela3ro-host exit-locks PROBE_DLL\n"
               "       vela3ro-host resources DLL VERSION\n"
               "       vela3ro-host file-security PATH\n"
               "       vela3ro-host set-owner PATH SID\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1];
  const char* dll = argv[2];
  if (command == "road" && argc == 7) {
    Bytes pin, hash, peer;
    if (!ParseHex(argv[4], &pin) || !ParseHex(argv[5], &hash) || !ParseHex(argv[6], &peer) || peer.size() != 64) {
      return Usage();
    }
    return Road(dll, argv[3], pin, hash, peer);
  }
  if (command == "properties" && argc == 3) return Properties(dll);
  if (command == "pinpad" && argc == 3) return PinPad(dll);
  if (command == "logged" && argc == 3) return Logged(dll);
  if (command == "low-resource" && argc == 5) {
    Bytes pin;
    const int step = std::atoi(argv[4]);
    return ParseHex(argv[3], &pin) && step > 0 ? LowResource(dll, pin, static_cast<std::size_t>(step)) : Usage();
  }
  if (command == "exit-locks" && argc == 3) return ExitLocks(dll);
  if (command == "unload-cycles" && argc == 4) return UnloadCycles(dll, std::atoi(argv[3]));
  if (command == "file-security" && argc == 3) return DescribeFileSecurity(argv[2]) ? failures : 1;
  if (command == "set-owner" && argc == 4) return SetFileOwner(argv[2], argv[3]) ? failures : 1;
  if (command == "resources" && argc == 4) {
    CheckResources(dll, argv[3]);
    return failures;
  }
  return Usage();
}
