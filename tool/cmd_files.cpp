// The card's virtual files as a host reads them: `ls`, `cat`, and the
// containers section of scinfo (names, certificates, public keys, and whether
// each certificate carries the key the card reports).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

#include "host/result_names.h"
#include "tool/certificate.h"
#include "tool/command.h"

namespace vela::tool {
namespace {

using host::HexBytes;
using host::ResultText;

constexpr std::size_t kMaxContainers = 16;
constexpr std::size_t kRecordLength = 86;  // CONTAINER_MAP_RECORD
constexpr std::size_t kNameUnits = 40;
constexpr std::size_t kFlagsOffset = 80;
constexpr std::size_t kSigBitsOffset = 82;
constexpr std::size_t kExchangeBitsOffset = 84;
constexpr std::size_t kBlobHeader = 8;  // BCRYPT_ECCKEY_BLOB: magic, key length

WORD LittleWord(const BYTE* p) { return static_cast<WORD>(p[0] | p[1] << 8); }
DWORD LittleDword(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

// Splits "DIR/FILE" (or "FILE", "/FILE" for the root).
bool SplitPath(const std::string& path, std::string* directory, std::string* file) {
  const std::size_t slash = path.find('/');
  if (slash == std::string::npos) {
    directory->clear();
    *file = path;
  } else {
    *directory = path.substr(0, slash);
    *file = path.substr(slash + 1);
  }
  return !file->empty() && file->find('/') == std::string::npos;
}

// The hex dump of `cat` in text mode: offset, then sixteen bytes a line.
std::string HexDump(const std::vector<BYTE>& bytes) {
  std::string out;
  char offset[24];
  for (std::size_t i = 0; i < bytes.size(); i += 16) {
    std::snprintf(offset, sizeof(offset), "%04zX  ", i);
    if (i > 0) out += '\n';
    out += offset + HexBytes(bytes.data() + i, std::min<std::size_t>(16, bytes.size() - i));
  }
  return out;
}

int Ls(Args& args, Session& session) {
  const std::vector<std::string> words = args.Positional();
  if (!args.error().empty() || words.size() > 1) {
    session.Fail(args.error().empty() ? "usage: ls [DIR]" : args.error());
    return kExitUsage;
  }
  CARD_DATA* card = session.card();
  std::string directory = words.empty() ? "" : words.front();
  LPSTR names = nullptr;
  DWORD length = 0;
  const DWORD rc = session.Answer("CardEnumFiles " + (directory.empty() ? std::string("(root)") : directory),
                                  card->pfnCardEnumFiles(card, directory.empty() ? nullptr : directory.data(),
                                                         &names, &length, 0));
  HostPtr<char> owned(names);
  if (rc != 0) return session.Fail("cannot list " + (directory.empty() ? "the root" : directory) + ": " + ResultText(rc));

  Value list = Value::List();
  // Names each end with a zero; an empty name ends the list.
  for (std::size_t i = 0; names != nullptr && i < length && names[i] != 0;) {
    const std::string name(names + i, strnlen(names + i, length - i));
    list.Append(name);
    i += name.size() + 1;
  }
  session.report().Set("directory", directory.empty() ? "/" : directory);
  session.report().Set("files", std::move(list));
  return kExitOk;
}

int Cat(Args& args, Session& session) {
  std::optional<std::string> output = args.Option("output");
  std::vector<std::string> words = args.Positional();
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "-o" && i + 1 < words.size()) {
      output = words[i + 1];
      words.erase(words.begin() + static_cast<std::ptrdiff_t>(i), words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      break;
    }
  }
  std::string directory, file;
  if (!args.error().empty() || words.size() != 1 || !SplitPath(words.front(), &directory, &file)) {
    session.Fail(args.error().empty() ? "usage: cat DIR/FILE [-o OUT]" : args.error());
    return kExitUsage;
  }
  std::vector<BYTE> content;
  const DWORD rc = session.ReadFile(directory.empty() ? nullptr : directory.c_str(), file.c_str(), &content);
  if (rc != 0) return session.Fail("cannot read " + words.front() + ": " + ResultText(rc));

  if (output == "-") {  // the raw bytes, and nothing else, on standard output
    std::fwrite(content.data(), 1, content.size(), stdout);
    return kExitOk;
  }
  Value& report = session.report();
  report.Set("file", words.front());
  report.Set("size", static_cast<std::uint64_t>(content.size()));
  if (output) {
    std::ofstream out(*output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) return session.Fail("cannot write " + *output);
    report.Set("writtenTo", *output);
  } else {
    report.Set("content", session.json() ? HexBytes(content.data(), content.size(), "") : HexDump(content));
  }
  return kExitOk;
}

// ---- scinfo: the containers -------------------------------------------------

// The certificate's fields; `point` gets its public key.
Value DescribeCertificate(Session& session, const std::string& fileName, std::vector<BYTE>* point) {
  Value out = Value::Object();
  out.Set("file", "mscp/" + fileName);
  std::vector<BYTE> der;
  const DWORD rc = session.ReadFile("mscp", fileName.c_str(), &der);
  if (rc != 0) {
    out.Set("error", ResultText(rc));
    return out;
  }
  out.Set("size", static_cast<std::uint64_t>(der.size()));
  DescribeCertificateDer(der, out, point);
  return out;
}

// The container's public key from CardGetContainerInfo; `point` gets 04 X Y.
Value DescribePublicKey(Session& session, BYTE index, std::vector<BYTE>* point) {
  Value out = Value::Object();
  CARD_DATA* card = session.card();
  CONTAINER_INFO info{};
  info.dwVersion = 1;
  const DWORD rc = session.Answer("CardGetContainerInfo " + std::to_string(index),
                                  card->pfnCardGetContainerInfo(card, index, 0, &info));
  HostPtr<BYTE> signature(info.pbSigPublicKey);
  HostPtr<BYTE> exchange(info.pbKeyExPublicKey);
  if (rc != 0) {
    out.Set("error", ResultText(rc));
    return out;
  }
  const bool isSignature = signature != nullptr;
  const BYTE* blob = isSignature ? signature.get() : exchange.get();
  const DWORD size = isSignature ? info.cbSigPublicKey : info.cbKeyExPublicKey;
  if (blob == nullptr || size < kBlobHeader || size != kBlobHeader + 2 * LittleDword(blob + 4)) {
    out.Set("error", "malformed key blob");
    return out;
  }
  out.Set("use", isSignature ? "signature" : "key exchange");
  out.Set("magic", std::string(reinterpret_cast<const char*>(blob), 4));
  const std::size_t keyLength = LittleDword(blob + 4);
  out.Set("x", HexBytes(blob + kBlobHeader, keyLength, ""));
  out.Set("y", HexBytes(blob + kBlobHeader + keyLength, keyLength, ""));
  point->assign({0x04});
  point->insert(point->end(), blob + kBlobHeader, blob + size);
  return out;
}

void AddContainers(Session& session, Value& report) {
  std::vector<BYTE> map;
  const DWORD rc = session.ReadFile("mscp", "cmapfile", &map);
  Value& section = report.Set("containers", Value::List());
  if (rc != 0 || map.size() < kMaxContainers * kRecordLength) {
    report.Set("containersError", rc != 0 ? ResultText(rc) : "cmapfile is too short");
    return;
  }
  for (std::size_t i = 0; i < kMaxContainers; ++i) {
    const BYTE* record = map.data() + i * kRecordLength;
    const BYTE flags = record[kFlagsOffset];
    if (flags == 0) continue;
    Value& container = section.Append(Value::Object());
    container.Set("index", static_cast<unsigned>(i));
    std::string name;
    for (std::size_t u = 0; u < kNameUnits; ++u) {
      const WORD unit = LittleWord(record + 2 * u);
      if (unit == 0) break;
      name += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    container.Set("name", name);
    container.Set("flags", std::string((flags & 1) ? "valid" : "not valid") + ((flags & 2) ? ", default" : ""));
    const WORD sigBits = LittleWord(record + kSigBitsOffset);
    const WORD exchangeBits = LittleWord(record + kExchangeBitsOffset);
    container.Set("keySizeBits", static_cast<unsigned>(sigBits != 0 ? sigBits : exchangeBits));
    container.Set("keyUse", sigBits != 0 ? "signature" : "key exchange");

    char fileName[8];
    std::snprintf(fileName, sizeof(fileName), "k%cc%02zX", sigBits != 0 ? 's' : 'x', i);
    std::vector<BYTE> certificatePoint, cardPoint;
    container.Set("certificate", DescribeCertificate(session, fileName, &certificatePoint));
    container.Set("publicKey", DescribePublicKey(session, static_cast<BYTE>(i), &cardPoint));
    container.Set("certificateKeyMatchesCard",
                  certificatePoint.empty() || cardPoint.empty() ? Value() : Value(certificatePoint == cardPoint));
  }
}

const RegisterCommand kLs{{"ls", "[DIR]", "lists the root or a directory (mscp) of the card", Ls}};
const RegisterCommand kCat{{"cat", "DIR/FILE [-o OUT]", "shows a file of the card, or writes it to OUT (- for raw)",
                            Cat}};
const RegisterScinfoSection kContainersSection{{20, "containers", AddContainers}};

}  // namespace
}  // namespace vela::tool
