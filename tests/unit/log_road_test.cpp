// The diagnostic log as an administrator turns it on (LogLevel 9, LogAPDU
// TRUE) over every host operation, PIN change and unblock included: one line
// per entry called, in the documented layout, and no secret anywhere in the
// file, as bytes or as hexadecimal in either case.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "card/transport.h"
#include "card_taps.h"
#include "core/log.h"
#include "emulated_card.h"
#include "fake_card.h"
#include "fake_registry.h"
#include "fake_system.h"
#include "full_log.h"
#include "host_operations.h"
#include "platform/system.h"
#include "test_host.h"

namespace vela::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One line of the log: time, process/thread, tag, source position, message.
const std::regex kLine(R"((\d\d):(\d\d):(\d\d) (\d+)/(\d+) \[(ERR|DBG|INF)\] ([A-Za-z0-9_.]+):(\d{4,}) (.+))");
// The message of an entry's line: name(arguments) = result in N us.
const std::regex kEntryMessage(
    R"(((?:Card|MD)\w+)(?:\((.*)\))? = (?:([A-Z_]+) \(0x([0-9A-F]{8})\)|0x([0-9A-F]{8})) in (\d+) us)");

struct EntryLine {
  std::string tag;
  std::string name;
  std::string arguments;
};

class LogRoadTest : public ::testing::Test {
 protected:
  void SetUp() override { log_.emplace(); }
  void TearDown() override {
    scriptedRandom.clear();
    log_.reset();
  }

  std::string Log() const {
    std::ifstream in(log_->dir() + "/vela3ro-20240305-004711.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The entry lines written since `from` (a length of the log); every other
  // line must still have the documented layout.
  std::vector<EntryLine> EntryLinesSince(std::size_t from) {
    const std::string log = Log();
    std::vector<EntryLine> entries;
    for (std::size_t at = from; at < log.size();) {
      const std::size_t end = log.find("\r\n", at);
      if (end == std::string::npos) {
        ADD_FAILURE() << "a line without CR LF at the end: " << log.substr(at);
        break;
      }
      const std::string line = log.substr(at, end - at);
      at = end + 2;
      if (line.empty()) continue;  // the blank line before an acquire
      std::smatch m;
      if (!std::regex_match(line, m, kLine)) {
        ADD_FAILURE() << "not in the line layout: " << line;
        continue;
      }
      const std::string message = m[9];
      std::smatch e;
      if (m[7] == "entry_log.cpp" && std::regex_match(message, e, kEntryMessage)) {
        const bool failed = e[4].matched ? e[4] != "00000000" : true;
        EXPECT_EQ(m[6], failed ? "ERR" : "INF") << line;
        entries.push_back({m[6], e[1], e[2]});
      } else {
        EXPECT_NE(m[6], "INF") << "an INF line that is no entry's: " << line;
      }
    }
    return entries;
  }

  RegistryScope registry_;
  std::optional<FullLog> log_;
};

// The agreed secret as the card sent it: the answer of the decipher operation.
Bytes AgreedSecret(const std::vector<Exchange>& exchanges) {
  for (const Exchange& e : exchanges) {
    if (e.command.size() > 4 && e.command[1] == 0x2A && e.command[2] == 0x80 && e.response.size() > 2) {
      return Bytes(e.response.begin(), e.response.end() - 2);
    }
  }
  return {};
}

// X and Y of a fresh P-256 key. (The host table's peer is the generator,
// whose agreed secret is the card key's public X: no secret at all.)
Bytes FreshPeerPoint() {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"),
                                                          EVP_PKEY_free);
  Bytes point(65);
  std::size_t length = 0;
  if (key == nullptr || EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                                        point.size(), &length) != 1 ||
      length != 65) {
    return {};
  }
  return Bytes(point.begin() + 1, point.end());
}

// An agreement on container 4 with `point`; the slot, or 0xFF.
BYTE AgreeWith(CARD_DATA* cd, const Bytes& point) {
  Bytes blob(8);
  const DWORD header[2] = {BCRYPT_ECDH_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob.data(), header, sizeof(header));
  blob.insert(blob.end(), point.begin(), point.end());
  CARD_DH_AGREEMENT_INFO info{};
  info.dwVersion = 2;
  info.bContainerIndex = 4;
  info.dwPublicKey = static_cast<DWORD>(blob.size());
  info.pbPublicKey = blob.data();
  return cd->pfnCardConstructDHAgreement(cd, &info) == 0 ? info.bSecretAgreementIndex : 0xFF;
}

// A derivation with the parameters of the host table's rows, optionally
// with an HMAC key, returning the derived bytes.
Bytes Derive(CARD_DATA* cd, BYTE slot, const char16_t* kdf, const Bytes& hmacKey = {}) {
  std::u16string hashName = u"SHA256";
  static const char label[] = "master secret";
  std::array<BYTE, 64> seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<BYTE>(i);
  BYTE prepend[5] = {1, 2, 3, 4, 5};
  Bytes key = hmacKey;
  std::vector<BCryptBuffer> buffers;
  if (std::u16string_view(kdf) == u"TLS_PRF") {
    buffers.push_back({sizeof(label), KDF_TLS_PRF_LABEL, const_cast<char*>(label)});
    buffers.push_back({static_cast<ULONG>(seed.size()), KDF_TLS_PRF_SEED, seed.data()});
  } else {
    buffers.push_back({static_cast<ULONG>((hashName.size() + 1) * 2), KDF_HASH_ALGORITHM, hashName.data()});
    buffers.push_back({sizeof(prepend), KDF_SECRET_PREPEND, prepend});
    if (!key.empty()) buffers.push_back({static_cast<ULONG>(key.size()), KDF_HMAC_KEY, key.data()});
  }
  BCryptBufferDesc list{0, static_cast<ULONG>(buffers.size()), buffers.data()};
  Bytes out(64);
  CARD_DERIVE_KEY derive{};
  derive.dwVersion = 2;
  derive.pwszKDF = kdf;
  derive.bSecretAgreementIndex = slot;
  derive.pParameterList = &list;
  derive.pbDerivedKey = out.data();
  derive.cbDerivedKey = static_cast<DWORD>(out.size());
  if (cd->pfnCardDeriveKey(cd, &derive) != 0) return {};
  out.resize(derive.cbDerivedKey);
  return out;
}

std::string HexOf(const Bytes& bytes, bool upper) {
  std::string out;
  char pair[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", b);
    out += pair;
  }
  return out;
}

// Where `secret`, or any `run` of its bytes in a row, occurs in the log: as
// bytes, as upper- or lower-case hexadecimal. Empty when nowhere.
std::string FindSecret(const std::string& log, const Bytes& secret, std::size_t run = 8) {
  const std::size_t window = std::min<std::size_t>(secret.size(), run);
  for (std::size_t at = 0; at + window <= secret.size(); ++at) {
    const Bytes part(secret.begin() + at, secret.begin() + at + window);
    for (const std::string& needle :
         {std::string(part.begin(), part.end()), HexOf(part, true), HexOf(part, false)}) {
      const std::size_t found = log.find(needle);
      if (found != std::string::npos) {
        const std::size_t lineStart = log.rfind('\n', found);
        return log.substr(lineStart == std::string::npos ? 0 : lineStart + 1, 200);
      }
    }
  }
  return {};
}

TEST_F(LogRoadTest, OneLinePerEntryCalledAndNoSecretAnywhere) {
  const Bytes sessionPin = {0xC3, 0x5A, 0x96, 0x0F, 0xE1, 0x7B, 0x24, 0xD8};
  scriptedRandom = sessionPin;
  EmulatedCard card;
  RecordingCard tap(&card);

  // Every operation of the host table on a context of its own: its entry's
  // lines appear exactly as often as it calls the entry, and the whole row
  // (acquire, preparation, the call, its undo, delete) one line per call.
  for (const HostOperation& op : HostOperations()) {
    SCOPED_TRACE(op.name);
    const std::string entry = std::string(op.name).substr(0, std::string(op.name).find(' '));
    const std::size_t runCalls = std::string(op.name) == "CardAuthenticateEx session PIN" ? 2 : 1;
    const std::size_t prepareCalls = op.needs == Needs::kNothing ? 0 : op.needs == Needs::kUserPin ? 1 : 2;
    const std::size_t rowStart = Log().size();
    TestHost host(tap.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    ASSERT_EQ(Prepare(host.get(), op.needs), 0u);
    const std::size_t runStart = Log().size();
    const DWORD result = op.run(host.get());
    EXPECT_EQ(result, 0u);
    const std::vector<EntryLine> run = EntryLinesSince(runStart);
    ASSERT_EQ(run.size(), runCalls);
    for (const EntryLine& line : run) {
      EXPECT_EQ(line.name, entry);
      EXPECT_EQ(line.tag, result == 0 ? "INF" : "ERR");
    }
    if (op.undo != nullptr) op.undo(host.get());
    host.Release();
    const std::vector<EntryLine> row = EntryLinesSince(rowStart);
    EXPECT_EQ(row.size(), 1 + prepareCalls + runCalls + (op.undo != nullptr ? 1 : 0) + 1);
    ASSERT_FALSE(row.empty());
    EXPECT_EQ(row.front().name, "CardAcquireContext");
    EXPECT_EQ(row.back().name, "CardDeleteContext");
  }

  // The secrets a host road handles, taken where they can be seen: the
  // PINs (the administrator's verified too), the session PIN from the random
  // source, the agreed secret (with a real peer) from the wire, the derived
  // keys (the table's three derivations and one under an HMAC key) from the
  // host's side.
  const Bytes hmacKey = {0x5E, 0x17, 0xA9, 0x42, 0x0C, 0xD3, 0x68, 0xB1, 0x7F, 0x26, 0xE4, 0x9A, 0x31, 0xC5, 0x08, 0x6D};
  const Bytes peer = FreshPeerPoint();
  ASSERT_EQ(peer.size(), 64u);
  std::vector<Bytes> derived;
  tap.Clear();
  {
    TestHost host(tap.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    ASSERT_EQ(VerifyUserPin(host.get()), 0u);
    BYTE code[sizeof(kUnblockCode)];
    std::memcpy(code, kUnblockCode, sizeof(code));
    ASSERT_EQ(host->pfnCardAuthenticateEx(host.get(), ROLE_ADMIN, 0, code, sizeof(code), nullptr, nullptr, nullptr),
              0u);
    const BYTE slot = AgreeWith(host.get(), peer);
    ASSERT_NE(slot, 0xFF);
    for (const char16_t* kdf : {u"HASH", u"HMAC", u"TLS_PRF"}) derived.push_back(Derive(host.get(), slot, kdf));
    derived.push_back(Derive(host.get(), slot, u"HMAC", hmacKey));
    host.Release();
  }
  const Bytes agreed = AgreedSecret(tap.exchanges());
  ASSERT_EQ(agreed.size(), 32u);
  struct Secret {
    const char* name;
    Bytes bytes;
  };
  std::vector<Secret> secrets = {
      {"user PIN", Bytes(std::begin(kUserPin), std::end(kUserPin))},
      {"new user PIN", Bytes(std::begin(kNewUserPin), std::end(kNewUserPin))},
      {"unblocking code", Bytes(std::begin(kUnblockCode), std::end(kUnblockCode))},
      {"session PIN", sessionPin},
      {"agreed secret", agreed},
      {"HMAC key", hmacKey},
  };
  for (const Bytes& key : derived) {
    ASSERT_GE(key.size(), 32u);
    secrets.push_back({"derived key", key});
  }

  const std::string log = Log();
  for (const Secret& secret : secrets) {
    EXPECT_EQ(FindSecret(log, secret.bytes), "") << secret.name << " is in the log";
  }
  // What the log is for is there: the acquire's findings and the trace, with
  // the PIN data and the agreed secret as their length.
  for (const char* expected : {"] acquire.cpp:", " ATR 3B", " settings: LogPath \"" , " card: serial 00112233445566778899",
                               " APDU > 00A4080C04DF0280FF\r\n", " APDU > 0020000306 [6 bytes not logged]\r\n",
                               " APDU > 0020000408 [8 bytes not logged]\r\n",
                               " APDU > 002C00030E [14 bytes not logged]\r\n",
                               " APDU < [32 bytes not logged] 9000\r\n"}) {
    EXPECT_NE(log.find(expected), std::string::npos) << expected;
  }
}

// Every command that carries a PIN, for each PIN reference (the user's, the
// administrator's, one the module does not use yet), with and without data,
// at every level: the trace keeps the header, the length and the card's
// answer, and no byte of a PIN in any form.
TEST_F(LogRoadTest, PinCommandsShowTheirLengthOnlyAtEveryLevel) {
  struct Case {
    const char* name;
    const char* header;  // CLA INS P1 P2, and Le when there is no data
    const char* data;    // the PIN data: a PIN, or a PIN and the new one
    const char* answer;
    int lc = -1;  // Lc when it is not the data's length
  };
  const Case cases[] = {
      {"VERIFY user", "00 20 00 03", "C3 5A 96 0F E1 7B", "63 C2"},
      {"VERIFY administrator", "00 20 00 04", "9D 41 E6 2B 7A F0 13 C8", "90 00"},
      {"VERIFY other reference", "00 20 00 81", "B4 6E 0D 92", "6A 88"},
      {"VERIFY user, counter", "00 20 00 03 00", "", "63 C3"},
      {"VERIFY administrator, state", "00 20 00 04", "", "90 00"},
      {"CHANGE REFERENCE DATA user", "00 24 00 03", "E2 19 7C A5 3F 86 5B D1 04 EE 68 97", "90 00"},
      {"CHANGE REFERENCE DATA administrator", "00 24 00 04", "A7 3C F1 58 0E 9B 62 D4 1F C6 85 2A 7D B3 40 E9",
       "90 00"},
      {"CHANGE REFERENCE DATA new only", "00 24 01 03", "6F D8 23 B9 5C 0A", "90 00"},
      {"RESET RETRY COUNTER code and PIN", "00 2C 00 03", "8E 27 D5 4A B1 6C F3 09 D6 71 2E 94 C0 5F", "90 00"},
      {"RESET RETRY COUNTER code only", "00 2C 01 03", "F5 0B 8A 3D C9 62 17 E4", "90 00"},
      {"RESET RETRY COUNTER PIN only", "00 2C 02 03", "1B E8 47 9C 2F D3", "90 00"},
      {"RESET RETRY COUNTER no data", "00 2C 03 03", "", "90 00"},
      // Whatever Lc claims, every byte after it is withheld.
      {"VERIFY with Lc short of the data", "00 20 00 04", "5B C2 8F 31 E7 0A 94 6D", "67 00", 2},
  };
  for (const char* level : {"0", "1", "2", "3", "9"}) {
    SCOPED_TRACE(std::string("LogLevel ") + level);
    SetRegistryString(kSettingsKey, "LogLevel", level);
    ScriptedCard card;
    card.ExpectAcquire();
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    const bool traced = level[0] >= '2';
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const Bytes pin = Hex(c.data);
      Bytes apdu = Hex(c.header);
      if (!pin.empty()) apdu.push_back(static_cast<BYTE>(c.lc >= 0 ? c.lc : pin.size()));
      apdu.insert(apdu.end(), pin.begin(), pin.end());
      card.Expect(apdu, Hex(c.answer));
      const std::size_t start = Log().size();
      WORD status = 0;
      ASSERT_EQ(TransmitApdu(host.get(), apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, nullptr, &status), 0u);

      const std::string written = Log().substr(start);
      if (!pin.empty()) {
        EXPECT_EQ(FindSecret(written, pin, 4), "") << "PIN data in the log";
      }
      const Bytes answer = Hex(c.answer);
      std::string sent = " APDU > " + HexOf(Bytes(apdu.begin(), apdu.begin() + (pin.empty() ? apdu.size() : 5)), true);
      if (!pin.empty()) sent += " [" + std::to_string(pin.size()) + " bytes not logged]";
      for (const std::string& line : {sent + "\r\n", " APDU < " + HexOf(answer, true) + "\r\n"}) {
        EXPECT_EQ(written.find(line) != std::string::npos, traced) << line << "\nin:\n" << written;
      }
      if (!traced) {
        EXPECT_EQ(written.find("APDU"), std::string::npos) << written;
      }
    }
    card.ExpectSelectApplication();
    host.Release();
  }
}

// The level keeps what its number allows: 1 the failures (ERR), 2 also the
// acquire's report and the trace (DBG), 3 also every other call (INF).
TEST_F(LogRoadTest, EachLevelWritesItsTagsOnly) {
  EmulatedCard card;
  for (const char* level : {"1", "2", "3"}) {
    SetRegistryString(kSettingsKey, "LogLevel", level);
    const std::size_t start = Log().size();
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    std::string file = "absent";
    BYTE* data = nullptr;
    DWORD length = 0;
    EXPECT_EQ(host->pfnCardReadFile(host.get(), nullptr, file.data(), 0, &data, &length), SCARD_E_FILE_NOT_FOUND);
    host.Release();
    const std::string written = Log().substr(start);
    EXPECT_NE(written.find("[ERR] entry_log.cpp:"), std::string::npos) << level;
    EXPECT_NE(written.find("CardReadFile(null, \"absent\", 0x0, ptr, ptr) = SCARD_E_FILE_NOT_FOUND (0x80100024)"),
              std::string::npos)
        << written;
    EXPECT_EQ(written.find("[DBG]") != std::string::npos, level[0] >= '2') << written;
    EXPECT_EQ(written.find(" APDU > ") != std::string::npos, level[0] >= '2') << written;
    EXPECT_EQ(written.find("[INF]") != std::string::npos, level[0] >= '3') << written;
  }
}

// A page that cannot be read: what a host may hand over where an entry does
// not look.
class UnreadablePage {
 public:
  UnreadablePage() : size_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
    page_ = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  ~UnreadablePage() {
    if (page_ != MAP_FAILED) munmap(page_, size_);
  }
  bool ok() const { return page_ != MAP_FAILED; }
  void* get() const { return page_; }

 private:
  std::size_t size_;
  void* page_;
};

void* unreadable = nullptr;

// Every pointer argument on the unreadable page, every number 1.
template <class T>
T Argument() {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(unreadable);
  } else {
    return static_cast<T>(1);
  }
}

template <class... A>
DWORD CallWithUnreadable(DWORD(VELA_WINAPI* entry)(PCARD_DATA, A...), CARD_DATA* cd) {
  return entry(cd, Argument<A>()...);
}

struct TableEntry {
  const char* name;
  DWORD (*call)(CARD_DATA*);
};
#define VELA_ROW(field, name) {name, [](CARD_DATA* cd) { return CallWithUnreadable(cd->field, cd); }}

// The entries the module refuses: they read none of their arguments, so
// the log reads none either, at any level, and their line holds their name
// and result alone.
TEST_F(LogRoadTest, RefusedEntriesLogNameAndResultAloneAndReadNothing) {
  UnreadablePage page;
  ASSERT_TRUE(page.ok());
  unreadable = page.get();
  const TableEntry refused[] = {
      VELA_ROW(pfnCardDeleteContainer, "CardDeleteContainer"),
      VELA_ROW(pfnCardCreateContainer, "CardCreateContainer"),
      VELA_ROW(pfnCardCreateContainerEx, "CardCreateContainerEx"),
      VELA_ROW(pfnCardGetChallenge, "CardGetChallenge"),
      VELA_ROW(pfnCardGetChallengeEx, "CardGetChallengeEx"),
      VELA_ROW(pfnCardAuthenticateChallenge, "CardAuthenticateChallenge"),
      VELA_ROW(pfnCardCreateDirectory, "CardCreateDirectory"),
      VELA_ROW(pfnCardDeleteDirectory, "CardDeleteDirectory"),
      VELA_ROW(pfnCardCreateFile, "CardCreateFile"),
      VELA_ROW(pfnCardWriteFile, "CardWriteFile"),
      VELA_ROW(pfnCardDeleteFile, "CardDeleteFile"),
      VELA_ROW(pfnCardSetContainerProperty, "CardSetContainerProperty"),
      VELA_ROW(pfnMDImportSessionKey, "MDImportSessionKey"),
      VELA_ROW(pfnMDEncryptData, "MDEncryptData"),
      VELA_ROW(pfnCardImportSessionKey, "CardImportSessionKey"),
      VELA_ROW(pfnCardGetSharedKeyHandle, "CardGetSharedKeyHandle"),
      VELA_ROW(pfnCardGetAlgorithmProperty, "CardGetAlgorithmProperty"),
      VELA_ROW(pfnCardGetKeyProperty, "CardGetKeyProperty"),
      VELA_ROW(pfnCardSetKeyProperty, "CardSetKeyProperty"),
      VELA_ROW(pfnCardDestroyKey, "CardDestroyKey"),
      VELA_ROW(pfnCardProcessEncryptedData, "CardProcessEncryptedData"),
  };
  EmulatedCard card;
  for (const char* level : {"1", "9"}) {
    SCOPED_TRACE(std::string("LogLevel ") + level);
    SetRegistryString(kSettingsKey, "LogLevel", level);
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    for (const TableEntry& entry : refused) {
      const std::size_t start = Log().size();
      EXPECT_EQ(entry.call(host.get()), SCARD_E_UNSUPPORTED_FEATURE) << entry.name;
      const std::string line = Log().substr(start);
      EXPECT_NE(line.find(std::string("[ERR] entry_log.cpp:")), std::string::npos) << entry.name;
      EXPECT_NE(line.find(std::string(" ") + entry.name + " = SCARD_E_UNSUPPORTED_FEATURE (0x80100022) in "),
                std::string::npos)
          << line;
    }
    host.Release();
  }
}

// The working entries on a record without a context refuse before they
// look at anything else: what their pointers point to stays unread, and
// their lines show of each only that it is there.
TEST_F(LogRoadTest, EntriesShowOnlyWhatTheyReadAndAccepted) {
  UnreadablePage page;
  ASSERT_TRUE(page.ok());
  unreadable = page.get();
  const TableEntry working[] = {
      VELA_ROW(pfnCardReadFile, "CardReadFile"),
      VELA_ROW(pfnCardEnumFiles, "CardEnumFiles"),
      VELA_ROW(pfnCardGetFileInfo, "CardGetFileInfo"),
      VELA_ROW(pfnCardGetContainerInfo, "CardGetContainerInfo"),
      VELA_ROW(pfnCardGetContainerProperty, "CardGetContainerProperty"),
      VELA_ROW(pfnCardAuthenticatePin, "CardAuthenticatePin"),
      VELA_ROW(pfnCardAuthenticateEx, "CardAuthenticateEx"),
      VELA_ROW(pfnCardDeauthenticate, "CardDeauthenticate"),
      VELA_ROW(pfnCardDeauthenticateEx, "CardDeauthenticateEx"),
      VELA_ROW(pfnCardUnblockPin, "CardUnblockPin"),
      VELA_ROW(pfnCardChangeAuthenticator, "CardChangeAuthenticator"),
      VELA_ROW(pfnCardChangeAuthenticatorEx, "CardChangeAuthenticatorEx"),
      VELA_ROW(pfnCardSignData, "CardSignData"),
      VELA_ROW(pfnCardConstructDHAgreement, "CardConstructDHAgreement"),
      VELA_ROW(pfnCardDeriveKey, "CardDeriveKey"),
      VELA_ROW(pfnCardDestroyDHAgreement, "CardDestroyDHAgreement"),
      VELA_ROW(pfnCardGetProperty, "CardGetProperty"),
      VELA_ROW(pfnCardSetProperty, "CardSetProperty"),
      VELA_ROW(pfnCardQueryCapabilities, "CardQueryCapabilities"),
      VELA_ROW(pfnCardQueryKeySizes, "CardQueryKeySizes"),
      VELA_ROW(pfnCardQueryFreeSpace, "CardQueryFreeSpace"),
  };
  EmulatedCard card;
  for (const char* level : {"1", "9"}) {
    SCOPED_TRACE(std::string("LogLevel ") + level);
    SetRegistryString(kSettingsKey, "LogLevel", level);
    TestHost host(card.handle());
    ASSERT_EQ(host.Acquire(), 0u);
    CARD_DATA stale = *host.get();
    stale.pvVendorSpecific = nullptr;
    for (const TableEntry& entry : working) {
      const std::size_t start = Log().size();
      EXPECT_NE(entry.call(&stale), 0u) << entry.name;
      const std::string line = Log().substr(start);
      EXPECT_NE(line.find(std::string(" ") + entry.name + "("), std::string::npos) << line;
      EXPECT_EQ(line.find('"'), std::string::npos) << line;
      EXPECT_EQ(line.find('{'), std::string::npos) << line;
    }
    host.Release();
  }
}
#undef VELA_ROW

}  // namespace
}  // namespace vela::test
