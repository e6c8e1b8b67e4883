// vela-card: personalises an emulated VELA card and serves it to pcscd (vpcd)
// and/or on a loopback TCP port until SIGTERM or SIGINT. See README.md.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/card_server.h"
#include "emulator/hex.h"
#include "emulator/pin_pad_reader.h"
#include "emulator/vela_card.h"

namespace {

using vela::emu::PinPadFeatures;

const char* kUsage =
    "usage: vela-card [options]\n"
    "  --serial HEX             ten serial bytes (default 00112233445566778899)\n"
    "  --seed N                 seed of the keys and certificates (default 1)\n"
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

struct Options {
  vela::emu::Personalisation card;
  vela::emu::PinPadOptions pad{PinPadFeatures::kNone, std::nullopt, std::chrono::milliseconds(0),
                               vela::emu::PinPadOutcome::kTyped};
  bool pinpad = false;
  PinPadFeatures padFeatures = PinPadFeatures::kVerifyDirect;
  std::string vpcdHost = "127.0.0.1";
  std::uint16_t vpcdPort = 35963;
  bool vpcd = true;
  int tcpPort = -1;
  std::string trace;
  std::string caCertificate;
};

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "vela-card: " << message << "\n";
  std::exit(2);
}

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
const std::vector<std::string> kValued = {"serial", "seed", "user-pin", "unblock-code", "tries", "cert-size",
                                          "key-template", "answer", "drop-after", "config", "vpcd", "tcp", "trace", "ca-cert", "pinpad-features",
                                          "pinpad-pin", "pinpad-delay-ms", "pinpad-answer"};

bool TakesValue(const std::string& name) {
  if (std::find(kValued.begin(), kValued.end(), name) != kValued.end()) return true;
  if (std::find(kFlags.begin(), kFlags.end(), name) != kFlags.end()) return false;
  Fail("unknown option --" + name + "\n" + kUsage);
}

void ApplyConfig(Options& o, const std::string& path);

// What a TLS peer needs to trust the card's certificates.
void WriteCaCertificate(const vela::emu::VelaCard& card, const std::string& path) {
  const vela::emu::Bytes& der = card.CaCertificate();
  const unsigned char* p = der.data();
  std::unique_ptr<X509, decltype(&X509_free)> certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                           X509_free);
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "w"), std::fclose);
  if (!certificate || !file || PEM_write_X509(file.get(), certificate.get()) != 1) {
    throw std::runtime_error("cannot write the CA certificate to " + path);
  }
}

void Apply(Options& o, const std::string& name, const std::string& value) {
  auto& p = o.card;
  if (name == "serial") {
    const auto bytes = vela::emu::ParseHex(value);
    if (!bytes || bytes->size() != 10) Fail("--serial needs ten bytes in hex");
    std::copy(bytes->begin(), bytes->end(), p.serial.begin());
  } else if (name == "seed") {
    p.seed = Number(name, value, ~0ul);
  } else if (name == "no-container6") {
    p.container6 = false;
  } else if (name == "no-container7") {
    p.container7 = false;
  } else if (name == "no-df01") {
    p.missingContainer7 = vela::emu::MissingContainer7::kNoDirectory;
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
    const std::map<std::string, vela::emu::KeyTemplateForm> forms = {
        {"short", vela::emu::KeyTemplateForm::kShort}, {"81", vela::emu::KeyTemplateForm::kLong81},
        {"82", vela::emu::KeyTemplateForm::kLong82}, {"no-curve", vela::emu::KeyTemplateForm::kWithoutCurve}};
    if (!forms.count(value)) Fail("--key-template is short, 81, 82 or no-curve");
    p.keyTemplate = forms.at(value);
  } else if (name == "answer") {
    const std::size_t eq = value.find('=');
    const auto bytes = eq == std::string::npos ? std::nullopt : vela::emu::ParseHex(value.substr(eq + 1));
    if (!bytes) Fail("--answer needs INS=HEX, e.g. B0=6F00");
    p.faults.answers.push_back(
        {static_cast<std::uint8_t>(Number(name, value.substr(0, eq), 0xFF, 16)), 0, *bytes, 0});
  } else if (name == "drop-after") {
    p.faults.dropAfter = Number(name, value, ~0ul);
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
    const std::map<std::string, PinPadFeatures> features = {{"direct", PinPadFeatures::kVerifyDirect},
                                                            {"start-finish", PinPadFeatures::kStartFinish},
                                                            {"none", PinPadFeatures::kNone}};
    if (!features.count(value)) Fail("--pinpad-features is direct, start-finish or none");
    o.padFeatures = features.at(value);
  } else if (name == "pinpad-pin") {
    o.pad.pin = value;
  } else if (name == "pinpad-delay-ms") {
    o.pad.delay = std::chrono::milliseconds(Number(name, value, 600000));
  } else if (name == "pinpad-answer") {
    const std::map<std::string, vela::emu::PinPadOutcome> answers = {{"typed", vela::emu::PinPadOutcome::kTyped},
                                                                      {"timeout", vela::emu::PinPadOutcome::kTimeout},
                                                                      {"cancel", vela::emu::PinPadOutcome::kCancel}};
    if (!answers.count(value)) Fail("--pinpad-answer is typed, timeout or cancel");
    o.pad.outcome = answers.at(value);
  } else if (name == "help") {
    std::cout << kUsage;
    std::exit(0);
  }
}

void ApplyConfig(Options& o, const std::string& path) {
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

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) Fail("unexpected argument " + arg + "\n" + kUsage);
    std::string name = arg.substr(2), value;
    if (const std::size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    } else if (TakesValue(name)) {
      if (i + 1 >= argc) Fail("--" + name + " needs a value");
      value = argv[++i];
    }
    Apply(o, name, value);
  }
  if (!o.vpcd && o.tcpPort < 0) Fail("nothing to serve: --no-vpcd without --tcp");
  if (o.pinpad) o.pad.features = o.padFeatures;

  // Signals are taken by sigwait below; threads started later inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::unique_ptr<vela::emu::VelaCard> card;
  try {
    card = std::make_unique<vela::emu::VelaCard>(o.card);
    if (!o.trace.empty()) card->SetTraceFile(o.trace);
    if (!o.caCertificate.empty()) WriteCaCertificate(*card, o.caCertificate);
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  vela::emu::PinPadReader reader(*card, o.pad);
  vela::emu::CardServer server(*card, reader);
  std::string serial = vela::emu::HexText(o.card.serial);
  std::erase(serial, ' ');
  std::string ready = "vela-card ready serial=" + serial;
  try {
    if (o.tcpPort >= 0) ready += " tcp=" + std::to_string(server.ListenTcp(static_cast<std::uint16_t>(o.tcpPort)));
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  if (o.vpcd) {
    server.ConnectVpcd(o.vpcdHost, o.vpcdPort);
    if (!server.WaitForVpcd(std::chrono::seconds(2))) {
      std::cerr << "vela-card: waiting for vpcd at " << o.vpcdHost << ":" << o.vpcdPort << " (is pcscd running?)\n";
      while (!server.WaitForVpcd(std::chrono::seconds(1))) {
        timespec none{0, 0};
        if (sigtimedwait(&signals, nullptr, &none) > 0) return 0;
      }
    }
    ready += " vpcd=" + o.vpcdHost + ":" + std::to_string(o.vpcdPort);
  }
  if (o.pinpad) ready += " pinpad";
  std::cout << ready << std::endl;

  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  return 0;
}
