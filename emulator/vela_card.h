// The emulated VELA generation-3 card: an ISO 7816-4 file system with the
// application's certificates and public keys, the user PIN and the unblocking
// code, and the P-256 keys behind MANAGE SECURITY ENVIRONMENT / PERFORM
// SECURITY OPERATION. Fault options turn it into a hostile card for tests.
//
// Status words worth knowing when writing tests against it:
// - SELECT (P1 08 path from the MF, P1 02 EF under the current DF, P1 00 MF /
//   child DF / EF; P2 must be 0C): 6A82 missing file, 6A86 other P1 P2.
// - READ BINARY: when Le runs past the end of the file, the bytes up to the end
//   with 6282 (end of file reached before Le bytes); 6B00 at or past the end,
//   6986 with no EF selected, 6A86 for P1 bit 8 (short file ids).
// - VERIFY without data (also the 5-byte form 00 20 00 ref 00): 9000 when the
//   PIN is already verified, else 63Cx with the tries left, 6983 when blocked.
//   A wrong PIN counts down and clears the verified state; the last try answers
//   63C0, later ones 6983.
// - CHANGE REFERENCE DATA splits old || new at the current PIN's length.
// - RESET RETRY COUNTER (P1 00 code || new, P1 01 code only) targets ref 03
//   and checks the code against ref 04's value and counter.
// - PERFORM SECURITY OPERATION: 6982 unless the user PIN was verified since the
//   last reset; 6985 without a matching MANAGE SECURITY ENVIRONMENT; 6A80 for
//   a bad point. Key references are global: 84 (in DF01) is usable from DF02.
// - CLA other than 00: 6E00; unknown INS: 6D00; bad Lc/Le: 6700.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/card_keys.h"
#include "emulator/link_model.h"

namespace vela::emu {

using Bytes = std::vector<std::uint8_t>;

// How the public-key files encode the 7F49 template's length.
enum class KeyTemplateForm {
  kShort,         // 7F 49 4D { 06 08 curve, 86 41 04 X Y }
  kLong81,        // 7F 49 81 4D ...
  kLong82,        // 7F 49 82 00 4D ...
  kWithoutCurve,  // 7F 49 43 { 86 41 04 X Y }
};

// What an absent container 7 looks like on the card.
enum class MissingContainer7 {
  kEmptyKeyFile,  // DF01/45B2 holds zeros, C001 is missing
  kNoDirectory,   // DF01 does not exist
};

// Replaces (or, with no content, removes) one elementary file after the card
// is built; how a test gets a malformed template or an odd file.
struct FileContent {
  std::uint16_t df = 0xDF02;  // 3F00 for the master file
  std::uint16_t fileId = 0;
  std::optional<Bytes> content;
};

// Answers a command with raw bytes (any length: none, no status word, more
// than asked) instead of executing it. Matches the exchange with the given
// sequence number (1 is the first since the card was made), or else every
// command with the given INS.
struct ScriptedAnswer {
  std::optional<std::uint8_t> ins;
  std::size_t sequence = 0;
  Bytes answer;
  std::size_t times = 1;  // 0: every match
};

struct Faults {
  std::vector<ScriptedAnswer> answers;
  // READ BINARY answers this many filler bytes (EE) beyond what was asked.
  std::size_t extraReadBytes = 0;
  // The connection drops after this many exchanges: the next and every later
  // Transmit reports a transport error, until Reset(); it drops only once.
  std::optional<std::size_t> dropAfter;
};

// An ATR is at most 33 bytes, TS included (ISO/IEC 7816-3).
inline constexpr std::size_t kMaxAtrBytes = 33;

// Certificate sizes chosen unless a test sets its own: one file of exactly 510
// bytes (two full 255-byte reads and an empty third), one of 600 bytes.
std::map<std::uint16_t, std::size_t> DefaultCertificateSizes();

struct Personalisation {
  std::array<std::uint8_t, 10> serial = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};
  std::uint64_t seed = 1;
  std::string userPin = "123456";
  std::string unblockCode = "12345678";
  int userPinTries = 3;
  int unblockCodeTries = 3;
  // Length a new user PIN must have (CHANGE REFERENCE DATA, RESET RETRY COUNTER).
  std::size_t minPinLength = 6;
  std::size_t maxPinLength = 48;
  bool container6 = true;
  bool container7 = true;
  MissingContainer7 missingContainer7 = MissingContainer7::kEmptyKeyFile;
  // Certificate file id → exact DER length; files not listed (or 0) get the
  // certificate's natural length (about 400 bytes; a padded one is at
  // least 17 bytes longer than that).
  std::map<std::uint16_t, std::size_t> certificateSizes = DefaultCertificateSizes();
  // Every certificate issued anew (new serial number and validity, same key
  // and subject) this many times, as renewals do; 0 for the first issue.
  unsigned certificateGeneration = 0;
  // The holder's e-mail address in every certificate of the holder's keys
  // (subjectAltName), so that a mail program offers them; empty: none.
  std::string email;
  // Every key made anew this many times (as a renewal with new keys does,
  // with certificateGeneration for the certificates); 0 for the first keys.
  unsigned keyGeneration = 0;
  // The name of the CA that issues the certificates (and of its own certificate).
  std::string caName = "VELA Test CA";
  // What the card answers a reset with; empty for Atr().
  Bytes atr;
  KeyTemplateForm keyTemplate = KeyTemplateForm::kShort;
  std::vector<FileContent> files;
  Faults faults;
};

class VelaCard {
 public:
  // Throws std::invalid_argument for an impossible personalisation (tries
  // outside 1..15, empty PINs, a certificate size below the natural one, a
  // certificate generation above kMaxCertificateGeneration, an empty CA
  // name, an ATR of one byte or more than kMaxAtrBytes).
  explicit VelaCard(Personalisation personalisation = {});
  VelaCard(const VelaCard&) = delete;
  VelaCard& operator=(const VelaCard&) = delete;

  // One exchange: the response data and SW1 SW2, or nothing when the
  // connection dropped (a transport error for the caller).
  std::optional<Bytes> Transmit(std::span<const std::uint8_t> command);
  // Every later exchange takes the time `link` gives it (null: no time), so
  // that a person using the card feels a real card's link.
  void SetLink(const LinkProfile* link) { link_ = link; }
  // T=1 only; historical bytes end in 90 00, then TCK.
  static const Bytes& Atr();
  // The ATR this card answers with: the personalisation's, else Atr().
  const Bytes& AnswerToReset() const { return personalisation_.atr.empty() ? Atr() : personalisation_.atr; }
  // Power cycle: security state and environment cleared, MF current, no EF
  // selected, a dropped connection restored. Counters and trace are kept.
  void Reset();

  // ---- Counters and trace ----
  std::size_t CommandCount(std::uint8_t ins) const;
  std::size_t TotalCommands() const;
  std::size_t BytesIn() const;
  std::size_t BytesOut() const;
  void ClearCounters();
  // Two lines per exchange: "> 00 A4 08 0C ..." and "< 90 00" (uppercase hex,
  // spaced); "< dropped" when the connection dropped.
  std::vector<std::string> Trace() const;
  void ClearTrace();
  // Also appends every trace line to `path`, flushed per line. Throws
  // std::runtime_error when the file cannot be opened.
  void SetTraceFile(const std::string& path);

  // ---- What the card holds, for tests ----
  const Personalisation& personalisation() const { return personalisation_; }
  // The file's content (certificate DER for a certificate file), or empty.
  Bytes FileData(std::uint16_t df, std::uint16_t fileId) const;
  // Certificate DER by file id (C001 is looked up in DF01), or empty.
  Bytes Certificate(std::uint16_t fileId) const;
  const Bytes& CaCertificate() const { return caCertificate_; }
  EVP_PKEY* CaKey() const { return ca_.pkey(); }
  // 04 X Y of the key with this reference, or empty when the card has none.
  Bytes PublicPoint(std::uint8_t keyRef) const;
  // The key pair (the test's OpenSSL checks use it as a public key), or null.
  EVP_PKEY* Key(std::uint8_t keyRef) const;
  // The current value of PIN reference 03 or 04 (changed by the PIN commands).
  std::string PinValue(std::uint8_t pinRef) const;
  // Tries left for PIN reference 03 or 04.
  int TriesLeft(std::uint8_t pinRef) const;
  bool Verified(std::uint8_t pinRef) const;

 private:
  struct Pin {
    Bytes value;
    int tries = 0;
    int maxTries = 0;
    bool verified = false;
  };
  struct CardKey {
    EcKey key;
    KeyUse use;
  };
  struct Command {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    bool hasData = false;
    bool hasLe = false;
    std::size_t le = 0;  // Le 00 means 256
  };

  void Personalise();
  void AddKey(std::uint8_t keyRef, KeyUse use, std::uint16_t df, std::uint16_t keyFile,
              const std::vector<std::uint16_t>& certFiles, std::uint32_t& certSerial);
  Bytes KeyTemplate(const EcKey& key) const;
  std::optional<Bytes> Exchange(std::span<const std::uint8_t> command);
  const ScriptedAnswer* TakeScriptedAnswer(std::uint8_t ins);
  void Record(const std::string& line);

  Bytes Execute(std::span<const std::uint8_t> apdu);
  Bytes Select(const Command& c);
  Bytes ReadBinary(const Command& c);
  Bytes Verify(const Command& c);
  Bytes ChangeReferenceData(const Command& c);
  Bytes ResetRetryCounter(const Command& c);
  Bytes ManageSecurityEnvironment(const Command& c);
  Bytes PerformSecurityOperation(const Command& c);
  Bytes WrongPin(Pin& pin);
  bool HasFile(std::uint16_t df, std::uint16_t fileId) const;

  Personalisation personalisation_;
  EcKey ca_;
  Bytes caCertificate_;
  std::map<std::uint8_t, CardKey> keys_;
  std::map<std::uint8_t, Pin> pins_;
  std::vector<std::uint16_t> dfs_;
  std::map<std::pair<std::uint16_t, std::uint16_t>, Bytes> files_;

  mutable std::mutex mutex_;
  std::uint16_t currentDf_ = 0x3F00;
  std::optional<std::uint16_t> currentEf_;
  std::optional<std::uint8_t> environmentTemplate_;  // B6 or B8
  std::uint8_t environmentKey_ = 0;
  bool dropped_ = false;
  bool dropSpent_ = false;  // the drop happens once; a reset brings the card back
  std::size_t exchanges_ = 0;
  std::vector<std::size_t> scriptedUsed_;
  std::array<std::size_t, 256> byIns_{};
  std::size_t total_ = 0, bytesIn_ = 0, bytesOut_ = 0;
  std::vector<std::string> trace_;
  std::ofstream traceFile_;
  const LinkProfile* link_ = nullptr;
};

}  // namespace vela::emu
