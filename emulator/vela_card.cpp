#include "emulator/vela_card.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "emulator/hex.h"

namespace vela::emu {

namespace {

constexpr std::uint16_t kMf = 0x3F00;
constexpr std::uint16_t kDf01 = 0xDF01;
constexpr std::uint16_t kDf02 = 0xDF02;
constexpr std::uint8_t kUserPin = 0x03;
constexpr std::uint8_t kUnblockCode = 0x04;

Bytes Sw(std::uint16_t sw) { return {static_cast<std::uint8_t>(sw >> 8), static_cast<std::uint8_t>(sw)}; }

Bytes WithSw(Bytes data, std::uint16_t sw) {
  data.push_back(static_cast<std::uint8_t>(sw >> 8));
  data.push_back(static_cast<std::uint8_t>(sw));
  return data;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string FileName(std::uint16_t id) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(id >> shift) & 15];
  return out;
}

}  // namespace

std::map<std::uint16_t, std::size_t> DefaultCertificateSizes() { return {{0x4331, 510}, {0xC500, 600}}; }

VelaCard::VelaCard(Personalisation personalisation) : personalisation_(std::move(personalisation)) {
  const Personalisation& p = personalisation_;
  for (int tries : {p.userPinTries, p.unblockCodeTries}) {
    if (tries < 1 || tries > 15) throw std::invalid_argument("PIN tries must be 1 to 15");
  }
  if (p.userPin.empty() || p.unblockCode.empty()) throw std::invalid_argument("empty PIN");
  if (p.certificateGeneration > kMaxCertificateGeneration) {
    throw std::invalid_argument("certificate generation above " + std::to_string(kMaxCertificateGeneration));
  }
  if (p.caName.empty()) throw std::invalid_argument("empty CA name");
  if (p.atr.size() == 1 || p.atr.size() > kMaxAtrBytes) throw std::invalid_argument("an ATR has 2 to 33 bytes");
  try {
    Personalise();
  } catch (const std::runtime_error& e) {
    throw std::invalid_argument(e.what());
  }
}

void VelaCard::Personalise() {
  const Personalisation& p = personalisation_;
  pins_[kUserPin] = {Text(p.userPin), p.userPinTries, p.userPinTries, false};
  pins_[kUnblockCode] = {Text(p.unblockCode), p.unblockCodeTries, p.unblockCodeTries, false};

  ca_ = EcKey::Derive(p.seed, "ca");
  caCertificate_ = MakeCertificate({p.caName, 1, KeyUse::kCertificateAuthority, 0, 0, {}}, ca_, p.caName, ca_);

  dfs_ = {kMf, kDf02};
  Bytes serialFile = {0x5A, 0x0A};  // tag and length, as the serial file starts on the card
  serialFile.insert(serialFile.end(), p.serial.begin(), p.serial.end());
  files_[{kMf, 0x2F02}] = serialFile;
  files_[{kDf02, 0x80FF}] = Text("VELA3");

  // Each generation's certificates take serial numbers of their own.
  std::uint32_t certSerial = 0x100 * (p.certificateGeneration + 1);
  AddKey(0x80, KeyUse::kSignature, kDf02, 0x4531, {0xC000, 0x4331}, certSerial);
  AddKey(0x82, KeyUse::kSignature, kDf02, 0x4571, {0xC500, 0x4371}, certSerial);
  AddKey(0x81, KeyUse::kAgreement, kDf02, 0x45B1, {0xC200, 0x43B1}, certSerial);
  // An empty key file is what a card personalised without the key holds.
  const Bytes emptyKeyFile(80, 0x00);
  if (p.container6) {
    AddKey(0x85, KeyUse::kAgreement, kDf02, 0x45B2, {0xC201}, certSerial);
  } else {
    files_[{kDf02, 0x45B2}] = emptyKeyFile;
  }
  if (p.container7 || p.missingContainer7 == MissingContainer7::kEmptyKeyFile) dfs_.push_back(kDf01);
  if (p.container7) {
    AddKey(0x84, KeyUse::kSignature, kDf01, 0x45B2, {0xC001}, certSerial);
  } else if (p.missingContainer7 == MissingContainer7::kEmptyKeyFile) {
    files_[{kDf01, 0x45B2}] = emptyKeyFile;
  }

  for (const FileContent& file : p.files) {
    if (file.content) {
      files_[{file.df, file.fileId}] = *file.content;
      if (std::find(dfs_.begin(), dfs_.end(), file.df) == dfs_.end()) dfs_.push_back(file.df);
    } else {
      files_.erase({file.df, file.fileId});
    }
  }
  scriptedUsed_.assign(p.faults.answers.size(), 0);
}

void VelaCard::AddKey(std::uint8_t keyRef, KeyUse use, std::uint16_t df, std::uint16_t keyFile,
                      const std::vector<std::uint16_t>& certFiles, std::uint32_t& certSerial) {
  // The first keys keep the labels they always had.
  const unsigned keyGeneration = personalisation_.keyGeneration;
  EcKey key = EcKey::Derive(personalisation_.seed,
                            "key " + FileName(keyRef) + (keyGeneration == 0 ? "" : " #" + std::to_string(keyGeneration)));
  files_[{df, keyFile}] = KeyTemplate(key);
  std::string serialHex;
  for (std::uint8_t b : personalisation_.serial) serialHex += FileName(b).substr(2);
  for (std::uint16_t certFile : certFiles) {
    const auto size = personalisation_.certificateSizes.find(certFile);
    CertificateRequest request{"VELA3 " + serialHex + " " + FileName(certFile) + " key " + FileName(keyRef).substr(2),
                               certSerial++, use,
                               size == personalisation_.certificateSizes.end() ? 0 : size->second,
                               personalisation_.certificateGeneration, personalisation_.email};
    files_[{df, certFile}] = MakeCertificate(request, key, personalisation_.caName, ca_);
  }
  keys_.emplace(keyRef, CardKey{std::move(key), use});
}

Bytes VelaCard::KeyTemplate(const EcKey& key) const {
  const Bytes curve = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
  Bytes inner;
  if (personalisation_.keyTemplate != KeyTemplateForm::kWithoutCurve) inner = curve;
  inner.push_back(0x86);
  inner.push_back(static_cast<std::uint8_t>(key.publicPoint().size()));
  inner.insert(inner.end(), key.publicPoint().begin(), key.publicPoint().end());
  Bytes out = {0x7F, 0x49};
  const auto length = static_cast<std::uint8_t>(inner.size());
  switch (personalisation_.keyTemplate) {
    case KeyTemplateForm::kLong81: out.insert(out.end(), {0x81, length}); break;
    case KeyTemplateForm::kLong82: out.insert(out.end(), {0x82, 0x00, length}); break;
    default: out.push_back(length); break;
  }
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

const Bytes& VelaCard::Atr() {
  static const Bytes atr = {0x3B, 0x8A, 0x01, 0x80, 0x56, 0x45, 0x4C, 0x41, 0x47, 0x33, 0x00, 0x90, 0x00, 0xF1};
  return atr;
}

void VelaCard::Reset() {
  std::lock_guard lock(mutex_);
  for (auto& [ref, pin] : pins_) pin.verified = false;
  currentDf_ = kMf;
  currentEf_.reset();
  environmentTemplate_.reset();
  dropped_ = false;
}

// ---- Exchange ------------------------------------------------------------------

std::optional<Bytes> VelaCard::Transmit(std::span<const std::uint8_t> command) {
  std::optional<Bytes> response = Exchange(command);
  // The link's time is slept with the card unlocked, so that its counters and
  // files stay readable meanwhile.
  if (link_ != nullptr && response) {
    std::this_thread::sleep_for(std::chrono::duration<double>(
        ExchangeSeconds(*link_, command.size(), response->size(), WorkOf(command, *response))));
  }
  return response;
}

std::optional<Bytes> VelaCard::Exchange(std::span<const std::uint8_t> command) {
  std::lock_guard lock(mutex_);
  Record("> " + HexText(command));
  if (!dropSpent_ && personalisation_.faults.dropAfter && exchanges_ >= *personalisation_.faults.dropAfter) {
    dropped_ = dropSpent_ = true;
  }
  if (dropped_) {
    Record("< dropped");
    return std::nullopt;
  }
  ++exchanges_;
  ++total_;
  bytesIn_ += command.size();
  if (command.size() >= 2) ++byIns_[command[1]];
  Bytes response;
  if (const ScriptedAnswer* scripted = TakeScriptedAnswer(command.size() >= 2 ? command[1] : 0)) {
    response = scripted->answer;
  } else {
    response = Execute(command);
  }
  bytesOut_ += response.size();
  Record("< " + HexText(response));
  return response;
}

const ScriptedAnswer* VelaCard::TakeScriptedAnswer(std::uint8_t ins) {
  const auto& answers = personalisation_.faults.answers;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const ScriptedAnswer& a = answers[i];
    const bool matches = a.sequence != 0 ? a.sequence == exchanges_ : (a.ins && *a.ins == ins);
    if (!matches || (a.times != 0 && scriptedUsed_[i] >= a.times)) continue;
    ++scriptedUsed_[i];
    return &a;
  }
  return nullptr;
}

void VelaCard::Record(const std::string& line) {
  trace_.push_back(line);
  if (traceFile_.is_open()) traceFile_ << line << std::endl;
}

Bytes VelaCard::Execute(std::span<const std::uint8_t> apdu) {
  if (apdu.size() < 4) return Sw(0x6700);
  Command c{apdu[0], apdu[1], apdu[2], apdu[3], {}, false, false, 0};
  if (c.cla != 0x00) return Sw(0x6E00);
  switch (c.ins) {
    case 0xA4: case 0xB0: case 0x20: case 0x24: case 0x2C: case 0x22: case 0x2A: break;
    default: return Sw(0x6D00);
  }
  // Short APDUs only: case 1, 2 (Le), 3 (Lc data) or 4 (Lc data Le).
  if (apdu.size() == 5) {
    c.hasLe = true;
    c.le = apdu[4] == 0 ? 256 : apdu[4];
  } else if (apdu.size() > 5) {
    const std::size_t lc = apdu[4];
    if (lc == 0 || (apdu.size() != 5 + lc && apdu.size() != 6 + lc)) return Sw(0x6700);
    c.hasData = true;
    c.data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
    if (apdu.size() == 6 + lc) {
      c.hasLe = true;
      c.le = apdu[5 + lc] == 0 ? 256 : apdu[5 + lc];
    }
  }
  switch (c.ins) {
    case 0xA4: return Select(c);
    case 0xB0: return ReadBinary(c);
    case 0x20: return Verify(c);
    case 0x24: return ChangeReferenceData(c);
    case 0x2C: return ResetRetryCounter(c);
    case 0x22: return ManageSecurityEnvironment(c);
    default: return PerformSecurityOperation(c);
  }
}

bool VelaCard::HasFile(std::uint16_t df, std::uint16_t fileId) const { return files_.count({df, fileId}) != 0; }

// ---- File system ----------------------------------------------------------------

Bytes VelaCard::Select(const Command& c) {
  if (c.p2 != 0x0C) return Sw(0x6A86);
  if (c.data.size() % 2 != 0) return Sw(0x6A80);
  std::vector<std::uint16_t> ids;
  for (std::size_t i = 0; i < c.data.size(); i += 2) ids.push_back(static_cast<std::uint16_t>(c.data[i] << 8 | c.data[i + 1]));
  const auto isDf = [this](std::uint16_t id) {
    return id != kMf && std::find(dfs_.begin(), dfs_.end(), id) != dfs_.end();
  };
  // Only the MF holds directories, so a path is at most DF then EF.
  std::uint16_t df = kMf;
  std::optional<std::uint16_t> ef;
  switch (c.p1) {
    case 0x08: {  // path from the MF (a leading 3F00 is accepted too)
      if (!ids.empty() && ids.front() == kMf) ids.erase(ids.begin());
      if (ids.empty()) return Sw(0x6A80);
      for (std::size_t i = 0; i < ids.size(); ++i) {
        const bool last = i + 1 == ids.size();
        if (df == kMf && !ef && isDf(ids[i])) {
          df = ids[i];
        } else if (!ef && last && HasFile(df, ids[i])) {
          ef = ids[i];
        } else {
          return Sw(0x6A82);
        }
      }
      break;
    }
    case 0x02:  // EF under the current DF
      if (ids.size() != 1) return Sw(0x6A80);
      if (!HasFile(currentDf_, ids[0])) return Sw(0x6A82);
      df = currentDf_;
      ef = ids[0];
      break;
    case 0x00:  // MF, a DF under the MF, or an EF under the current DF
      if (ids.empty() || (ids.size() == 1 && ids[0] == kMf)) break;
      if (ids.size() != 1) return Sw(0x6A80);
      if (currentDf_ == kMf && isDf(ids[0])) {
        df = ids[0];
      } else if (HasFile(currentDf_, ids[0])) {
        df = currentDf_;
        ef = ids[0];
      } else {
        return Sw(0x6A82);
      }
      break;
    default:
      return Sw(0x6A86);
  }
  currentDf_ = df;
  currentEf_ = ef;
  return Sw(0x9000);
}

Bytes VelaCard::ReadBinary(const Command& c) {
  if ((c.p1 & 0x80) != 0) return Sw(0x6A86);
  if (c.hasData || !c.hasLe) return Sw(0x6700);
  if (!currentEf_) return Sw(0x6986);
  const Bytes& content = files_.at({currentDf_, *currentEf_});
  const std::size_t offset = static_cast<std::size_t>(c.p1) << 8 | c.p2;
  if (offset >= content.size()) return Sw(0x6B00);
  const std::size_t count = std::min(c.le, content.size() - offset);
  Bytes data(content.begin() + static_cast<std::ptrdiff_t>(offset),
             content.begin() + static_cast<std::ptrdiff_t>(offset + count));
  data.insert(data.end(), personalisation_.faults.extraReadBytes, 0xEE);
  // Fewer bytes than Le asked for: end of file reached before Le bytes.
  return WithSw(std::move(data), count < c.le ? 0x6282 : 0x9000);
}

// ---- PINs -------------------------------------------------------------------------

Bytes VelaCard::WrongPin(Pin& pin) {
  pin.verified = false;
  if (pin.tries > 0) --pin.tries;
  return Sw(static_cast<std::uint16_t>(0x63C0 | pin.tries));
}

Bytes VelaCard::Verify(const Command& c) {
  if (c.p1 != 0x00) return Sw(0x6A86);
  const auto it = pins_.find(c.p2);
  if (it == pins_.end()) return Sw(0x6A88);
  Pin& pin = it->second;
  if (!c.hasData) {
    if (pin.tries == 0) return Sw(0x6983);
    return pin.verified ? Sw(0x9000) : Sw(static_cast<std::uint16_t>(0x63C0 | pin.tries));
  }
  if (pin.tries == 0) return Sw(0x6983);
  if (c.data != pin.value) return WrongPin(pin);
  pin.tries = pin.maxTries;
  pin.verified = true;
  return Sw(0x9000);
}

Bytes VelaCard::ChangeReferenceData(const Command& c) {
  if (c.p1 != 0x00) return Sw(0x6A86);
  const auto it = pins_.find(c.p2);
  if (it == pins_.end()) return Sw(0x6A88);
  Pin& pin = it->second;
  if (!c.hasData) return Sw(0x6700);
  if (pin.tries == 0) return Sw(0x6983);
  // The card knows the current value's length; the rest is the new value.
  const std::size_t oldLength = pin.value.size();
  if (c.data.size() <= oldLength) return Sw(0x6700);
  if (!std::equal(pin.value.begin(), pin.value.end(), c.data.begin())) return WrongPin(pin);
  pin.tries = pin.maxTries;
  const std::size_t newLength = c.data.size() - oldLength;
  if (newLength < personalisation_.minPinLength || newLength > personalisation_.maxPinLength) return Sw(0x6A80);
  pin.value.assign(c.data.begin() + static_cast<std::ptrdiff_t>(oldLength), c.data.end());
  pin.verified = true;
  return Sw(0x9000);
}

Bytes VelaCard::ResetRetryCounter(const Command& c) {
  if (c.p1 != 0x00 && c.p1 != 0x01) return Sw(0x6A86);
  if (c.p2 != kUserPin) return Sw(0x6A88);
  if (!c.hasData) return Sw(0x6700);
  Pin& code = pins_.at(kUnblockCode);
  Pin& user = pins_.at(kUserPin);
  if (code.tries == 0) return Sw(0x6983);
  const std::size_t codeLength = code.value.size();
  const bool withNewPin = c.p1 == 0x00;
  if (withNewPin ? c.data.size() <= codeLength : c.data.size() != codeLength) return Sw(0x6700);
  if (!std::equal(code.value.begin(), code.value.end(), c.data.begin())) return WrongPin(code);
  code.tries = code.maxTries;
  if (withNewPin) {
    const std::size_t newLength = c.data.size() - codeLength;
    if (newLength < personalisation_.minPinLength || newLength > personalisation_.maxPinLength) return Sw(0x6A80);
    user.value.assign(c.data.begin() + static_cast<std::ptrdiff_t>(codeLength), c.data.end());
  }
  user.tries = user.maxTries;
  user.verified = false;
  return Sw(0x9000);
}

// ---- Security operations -----------------------------------------------------------

Bytes VelaCard::ManageSecurityEnvironment(const Command& c) {
  if (c.p1 != 0x41 || (c.p2 != 0xB6 && c.p2 != 0xB8)) return Sw(0x6A86);
  environmentTemplate_.reset();
  std::optional<std::uint8_t> keyRef;
  for (std::size_t i = 0; i < c.data.size();) {
    if (i + 2 > c.data.size() || i + 2 + c.data[i + 1] > c.data.size()) return Sw(0x6A80);
    if (c.data[i] == 0x84 && c.data[i + 1] == 1) keyRef = c.data[i + 2];
    i += 2 + c.data[i + 1];
  }
  if (!keyRef) return Sw(0x6A80);
  const auto key = keys_.find(*keyRef);
  const KeyUse wanted = c.p2 == 0xB6 ? KeyUse::kSignature : KeyUse::kAgreement;
  if (key == keys_.end() || key->second.use != wanted) return Sw(0x6A88);
  environmentTemplate_ = c.p2;
  environmentKey_ = *keyRef;
  return Sw(0x9000);
}

Bytes VelaCard::PerformSecurityOperation(const Command& c) {
  const bool sign = c.p1 == 0x9E && c.p2 == 0x9A;
  const bool decipher = c.p1 == 0x80 && c.p2 == 0x86;
  if (!sign && !decipher) return Sw(0x6A86);
  if (!pins_.at(kUserPin).verified) return Sw(0x6982);
  if (environmentTemplate_ != (sign ? 0xB6 : 0xB8)) return Sw(0x6985);
  if (!c.hasData) return Sw(0x6700);
  const EcKey& key = keys_.at(environmentKey_).key;
  if (sign) return WithSw(key.SignDigest(c.data), 0x9000);
  // 00 (padding indicator), then the uncompressed point 04 X Y.
  if (c.data.size() != 66 || c.data[0] != 0x00) return Sw(0x6A80);
  Bytes secret = key.Agree(std::span(c.data).subspan(1));
  if (secret.empty()) return Sw(0x6A80);
  return WithSw(std::move(secret), 0x9000);
}

// ---- Accessors ------------------------------------------------------------------------

std::size_t VelaCard::CommandCount(std::uint8_t ins) const {
  std::lock_guard lock(mutex_);
  return byIns_[ins];
}

std::size_t VelaCard::TotalCommands() const {
  std::lock_guard lock(mutex_);
  return total_;
}

std::size_t VelaCard::BytesIn() const {
  std::lock_guard lock(mutex_);
  return bytesIn_;
}

std::size_t VelaCard::BytesOut() const {
  std::lock_guard lock(mutex_);
  return bytesOut_;
}

void VelaCard::ClearCounters() {
  std::lock_guard lock(mutex_);
  byIns_.fill(0);
  total_ = bytesIn_ = bytesOut_ = 0;
}

std::vector<std::string> VelaCard::Trace() const {
  std::lock_guard lock(mutex_);
  return trace_;
}

void VelaCard::ClearTrace() {
  std::lock_guard lock(mutex_);
  trace_.clear();
}

void VelaCard::SetTraceFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  traceFile_.open(path, std::ios::app);
  if (!traceFile_) throw std::runtime_error("cannot write the trace to " + path);
}

Bytes VelaCard::FileData(std::uint16_t df, std::uint16_t fileId) const {
  std::lock_guard lock(mutex_);
  const auto it = files_.find({df, fileId});
  return it == files_.end() ? Bytes{} : it->second;
}

Bytes VelaCard::Certificate(std::uint16_t fileId) const { return FileData(fileId == 0xC001 ? kDf01 : kDf02, fileId); }

Bytes VelaCard::PublicPoint(std::uint8_t keyRef) const {
  const auto it = keys_.find(keyRef);
  return it == keys_.end() ? Bytes{} : it->second.key.publicPoint();
}

EVP_PKEY* VelaCard::Key(std::uint8_t keyRef) const {
  const auto it = keys_.find(keyRef);
  return it == keys_.end() ? nullptr : it->second.key.pkey();
}

std::string VelaCard::PinValue(std::uint8_t pinRef) const {
  std::lock_guard lock(mutex_);
  const auto it = pins_.find(pinRef);
  return it == pins_.end() ? std::string() : std::string(it->second.value.begin(), it->second.value.end());
}

int VelaCard::TriesLeft(std::uint8_t pinRef) const {
  std::lock_guard lock(mutex_);
  const auto it = pins_.find(pinRef);
  return it == pins_.end() ? -1 : it->second.tries;
}

bool VelaCard::Verified(std::uint8_t pinRef) const {
  std::lock_guard lock(mutex_);
  const auto it = pins_.find(pinRef);
  return it != pins_.end() && it->second.verified;
}

}  // namespace vela::emu
