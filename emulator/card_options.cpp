#include "emulator/card_options.h"

#include <algorithm>
#include <fstream>
#include <map>

#include "emulator/hex.h"

namespace vela::emu {

namespace {

const char* kUsage =
    "usage: vela-card [options]\n"
    "  --serial HEX             ten serial bytes (default 00112233445566778899)\n"
    "  --seed N                 seed of the keys and certificates (default 1)\n"
    "  --cert-generation N      every certificate issued anew N times: same keys, new serial\n"
    "                           numbers and validity (default 0, the first issue)\n"
    "  --email ADDRESS          the holder's e-mail address in every certificate of the card's\n"
    "                           keys (subjectAltName), for mail programs (default none)\n"
    "  --key-generation N       every key made anew N times (default 0, the first keys)\n"
    "  --ca-name NAME           the issuer of the certificates (default VELA Test CA)\n"
    "  --atr HEX                the card's ATR, TCK included (default 3B8A018056454C414733009000F1)\n"
    "  --no-container6          no key-agreement key 85 (DF02/45B2 reads zeros)\n"
    "  --no-container7          no signature key 84 (DF01/45B2 reads zeros)\n"
    "  --no-df01                with --no-container7: no DF01 at all\n"
    "  --user-pin PIN           (default 123456)\n"
    "  --unblock-code CODE      (default 12345678)\n"
    "  --tries N                tries of both PINs (default 3)\n"
    "  --cert-size FILEID=N     exact DER length of a certificate file, e.g. C000=510\n"
    "  --key-template FORM      short, 81, 82 or no-curve (7F49 length form)\n"
    "  --answer INS=HEX         answer every command with this INS with these raw bytes\n"
    "  --drop-after N           the connection drops after N exchanges (once)\n"
    "  --link PROFILE           every exchange takes the time of a real link: contact-9600,\n"
    "                           contact-115200, contactless-424k, redirected or none (default)\n"
    "  --config FILE            key=value lines with the options above, without --\n"
    "  --vpcd HOST:PORT         pcscd's vpcd driver (default 127.0.0.1:35963)\n"
    "  --no-vpcd                do not connect to vpcd\n"
    "  --tcp PORT               also listen on 127.0.0.1:PORT (0: any free port)\n"
    "  --trace FILE             append the APDU trace to FILE\n"
    "  --ca-cert FILE           write the test CA's certificate (PEM) to FILE\n"
    "  --pinpad                 act as a PIN-pad reader (SCardControl over TCP)\n"
    "  --pinpad-features F      direct (default), start-finish or none\n"
    "  --pinpad-pin PIN         what is typed on the pad (default the user PIN)\n"
    "  --pinpad-delay-ms N      time the user takes to type\n"
    "  --pinpad-answer A        typed (default), timeout (64 00) or cancel (64 01)\n";

[[noreturn]] void Fail(const std::string& message) { throw OptionError(message); }

unsigned long Number(const std::string& name, const std::string& text, unsigned long max, int base = 10) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, base);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value > max) Fail("bad value for " + name + ": " + text);
  return value;
}

const std::vector<std::string> kFlags = {"no-container6", "no-container7", "no-df01", "no-vpcd", "pinpad", "help"};
const std::vector<std::string> kValued = {"serial", "seed", "cert-generation", "key-generation", "ca-name",
                                          "atr", "email", "user-pin", "unblock-code", "tries", "cert-size",
                                          "key-template", "answer", "drop-after", "link", "config", "vpcd", "tcp",
                                          "trace", "ca-cert", "pinpad-features", "pinpad-pin", "pinpad-delay-ms",
                                          "pinpad-answer"};

bool TakesValue(const std::string& name) {
  if (std::find(kValued.begin(), kValued.end(), name) != kValued.end()) return true;
  if (std::find(kFlags.begin(), kFlags.end(), name) != kFlags.end()) return false;
  Fail("unknown option --" + name + "\n" + kUsage);
}

template <typename T>
T Choice(const std::string& value, const std::map<std::string, T>& choices, const std::string& refusal) {
  const auto it = choices.find(value);
  if (it == choices.end()) Fail(refusal);
  return it->second;
}

void ApplyConfig(CardOptions& o, const std::string& path);

void Apply(CardOptions& o, const std::string& name, const std::string& value) {
  auto& p = o.card;
  if (name == "serial") {
    const auto bytes = ParseHex(value);
    if (!bytes || bytes->size() != 10) Fail("--serial needs ten bytes in hex");
    std::copy(bytes->begin(), bytes->end(), p.serial.begin());
  } else if (name == "seed") {
    p.seed = Number(name, value, ~0ul);
  } else if (name == "cert-generation") {
    p.certificateGeneration = static_cast<unsigned>(Number(name, value, kMaxCertificateGeneration));
  } else if (name == "email") {
    // An IA5String: printable ASCII, with one @ between two parts.
    const auto at = value.find('@');
    const bool plain = std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 0x7F; });
    if (!plain || at == std::string::npos || at == 0 || at + 1 == value.size() ||
        value.find('@', at + 1) != std::string::npos) {
      Fail("--email needs an address such as holder@example.org");
    }
    p.email = value;
  } else if (name == "key-generation") {
    p.keyGeneration = static_cast<unsigned>(Number(name, value, kMaxCertificateGeneration));
  } else if (name == "ca-name") {
    if (value.empty()) Fail("--ca-name needs a name");
    p.caName = value;
  } else if (name == "atr") {
    const auto bytes = ParseHex(value);
    if (!bytes || bytes->size() < 2 || bytes->size() > kMaxAtrBytes) Fail("--atr needs 2 to 33 bytes in hex");
    p.atr = *bytes;
  } else if (name == "no-container6") {
    p.container6 = false;
  } else if (name == "no-container7") {
    p.container7 = false;
  } else if (name == "no-df01") {
    p.missingContainer7 = MissingContainer7::kNoDirectory;
  } else if (name == "user-pin") {
    p.userPin = value;
  } else if (name == "unblock-code") {
    p.unblockCode = value;
  } else if (name == "tries") {
    p.userPinTries = p.unblockCodeTries = static_cast<int>(Number(name, value, 15));
  } else if (name == "cert-size") {
    const std::size_t eq = value.find('=');
    if (eq == std::string::npos) Fail("--cert-size needs FILEID=N");
    p.certificateSizes[static_cast<std::uint16_t>(Number(name, value.substr(0, eq), 0xFFFF, 16))] =
        Number(name, value.substr(eq + 1), 60000);
  } else if (name == "key-template") {
    p.keyTemplate = Choice<KeyTemplateForm>(value,
                                            {{"short", KeyTemplateForm::kShort},
                                             {"81", KeyTemplateForm::kLong81},
                                             {"82", KeyTemplateForm::kLong82},
                                             {"no-curve", KeyTemplateForm::kWithoutCurve}},
                                            "--key-template is short, 81, 82 or no-curve");
  } else if (name == "answer") {
    const std::size_t eq = value.find('=');
    const auto bytes = eq == std::string::npos ? std::nullopt : ParseHex(value.substr(eq + 1));
    if (!bytes) Fail("--answer needs INS=HEX, e.g. B0=6F00");
    p.faults.answers.push_back({static_cast<std::uint8_t>(Number(name, value.substr(0, eq), 0xFF, 16)), 0, *bytes, 0});
  } else if (name == "drop-after") {
    p.faults.dropAfter = Number(name, value, ~0ul);
  } else if (name == "link") {
    o.link = FindLinkProfile(value);
    if (o.link == nullptr && value != "none") {
      std::string names;
      for (const LinkProfile& profile : LinkProfiles()) names += std::string(profile.name) + ", ";
      Fail("--link is " + names + "or none");
    }
  } else if (name == "config") {
    ApplyConfig(o, value);
  } else if (name == "vpcd") {
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos) Fail("--vpcd needs HOST:PORT");
    o.vpcdHost = value.substr(0, colon);
    o.vpcdPort = static_cast<std::uint16_t>(Number(name, value.substr(colon + 1), 65535));
    o.vpcd = true;
  } else if (name == "no-vpcd") {
    o.vpcd = false;
  } else if (name == "tcp") {
    o.tcpPort = static_cast<int>(Number(name, value, 65535));
  } else if (name == "trace") {
    o.trace = value;
  } else if (name == "ca-cert") {
    o.caCertificate = value;
  } else if (name == "pinpad") {
    o.pinpad = true;
  } else if (name == "pinpad-features") {
    o.padFeatures = Choice<PinPadFeatures>(value,
                                           {{"direct", PinPadFeatures::kVerifyDirect},
                                            {"start-finish", PinPadFeatures::kStartFinish},
                                            {"none", PinPadFeatures::kNone}},
                                           "--pinpad-features is direct, start-finish or none");
  } else if (name == "pinpad-pin") {
    o.pad.pin = value;
  } else if (name == "pinpad-delay-ms") {
    o.pad.delay = std::chrono::milliseconds(Number(name, value, 600000));
  } else if (name == "pinpad-answer") {
    o.pad.outcome = Choice<PinPadOutcome>(value,
                                          {{"typed", PinPadOutcome::kTyped},
                                           {"timeout", PinPadOutcome::kTimeout},
                                           {"cancel", PinPadOutcome::kCancel}},
                                          "--pinpad-answer is typed, timeout or cancel");
  } else if (name == "help") {
    o.help = true;
  }
}

void ApplyConfig(CardOptions& o, const std::string& path) {
  std::ifstream file(path);
  if (!file) Fail("cannot read " + path);
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start, line.find_last_not_of(" \t\r") - start + 1);
    const std::size_t eq = line.find('=');
    const std::string name = line.substr(0, eq);
    // Flags may be written alone or as name=true; name=false leaves them off.
    const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
    if (!TakesValue(name) && (value == "false" || value == "0")) continue;
    if (TakesValue(name) && eq == std::string::npos) Fail(path + ": " + name + " needs a value");
    Apply(o, name, value);
  }
}

}  // namespace

const char* CardOptionsUsage() { return kUsage; }

CardOptions ParseCardOptions(const std::vector<std::string>& arguments) {
  CardOptions o;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    if (arg.rfind("--", 0) != 0) Fail("unexpected argument " + arg + "\n" + kUsage);
    std::string name = arg.substr(2), value;
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (TakesValue(name)) {
      if (i + 1 >= arguments.size()) Fail("--" + name + " needs a value");
      value = arguments[++i];
    }
    Apply(o, name, value);
    if (o.help) return o;
  }
  if (!o.vpcd && o.tcpPort < 0) Fail("nothing to serve: --no-vpcd without --tcp");
  if (o.pinpad) o.pad.features = o.padFeatures;
  return o;
}

}  // namespace vela::emu
