// vela-card: personalises an emulated VELA card and serves it to pcscd (vpcd)
// and/or on a loopback TCP port until SIGTERM or SIGINT. See README.md.
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/card_options.h"
#include "emulator/card_server.h"
#include "emulator/hex.h"
#include "emulator/pin_pad_reader.h"
#include "emulator/vela_card.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
  std::cerr << "vela-card: " << message << "\n";
  std::exit(2);
}

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

}  // namespace

int main(int argc, char** argv) {
  vela::emu::CardOptions o;
  try {
    o = vela::emu::ParseCardOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const vela::emu::OptionError& e) {
    Fail(e.what());
  }
  if (o.help) {
    std::cout << vela::emu::CardOptionsUsage();
    return 0;
  }

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
    card->SetLink(o.link);
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
  if (o.link != nullptr) ready += std::string(" link=") + o.link->name;
  std::cout << ready << std::endl;

  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  return 0;
}
