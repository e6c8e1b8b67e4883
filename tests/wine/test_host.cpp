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
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) LiveBlocks().insert(block);
  return block;
}

void* VELA_WINAPI HostReAlloc(void* block, md::SIZE_T size) {
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

int Usage() {
  std::fprintf(stderr,
               "usage: vela3ro-host road DLL OUTDIR PINHEX HASHHEX PEERHEX\n"
               "       (DLL \"registered\": the module registered for the card's ATR)\n"
               "       vela3ro-host properties DLL\n"
               "       vela3ro-host pinpad DLL\n"
               "       vela3ro-host logged DLL\n"
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
  if (command == "file-security" && argc == 3) return DescribeFileSecurity(argv[2]) ? failures : 1;
  if (command == "set-owner" && argc == 4) return SetFileOwner(argv[2], argv[3]) ? failures : 1;
  if (command == "resources" && argc == 4) {
    CheckResources(dll, argv[3]);
    return failures;
  }
  return Usage();
}
