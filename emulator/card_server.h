// The emulated card on a socket. Both ways in use the same framing: every
// message is a 2-byte big-endian length and a payload.
//
// From the reader (vpcd, or the Windows test bridge) a 1-byte payload is a
// control: 00 power off, 01 power on, 02 reset (all three reset the card and
// get no answer), 04 send the ATR (answered with the ATR). Any other payload is
// a command APDU, answered with the response APDU.
//
// The TCP listener adds two things for the bridge:
// - a payload FF C0 cc cc cc cc (input...) is SCardControl with the 4-byte
//   big-endian control code cc; it is answered with a 4-byte big-endian result
//   code and the output bytes (the PIN-pad reader's, see pin_pad_reader.h);
// - a card whose connection dropped answers a command with an empty payload
//   (the bridge reports SCARD_W_REMOVED_CARD); power on brings it back.
// Over vpcd a dropped card closes the connection and reconnects a second later.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulator/pin_pad_reader.h"
#include "emulator/vela_card.h"

namespace vela::emu {

class CardServer {
 public:
  CardServer(VelaCard& card, PinPadReader& reader);
  ~CardServer();
  CardServer(const CardServer&) = delete;
  CardServer& operator=(const CardServer&) = delete;

  // Listens on 127.0.0.1:`port` (0 picks a free port) and returns the port.
  // Throws std::runtime_error when the port cannot be bound.
  std::uint16_t ListenTcp(std::uint16_t port);
  // Connects to pcscd's vpcd driver and stays connected, reconnecting when
  // pcscd restarts.
  void ConnectVpcd(const std::string& host, std::uint16_t port);
  // True once vpcd accepted the card (false when `timeout` passed first).
  bool WaitForVpcd(std::chrono::milliseconds timeout);
  // Ends every connection and thread; also done by the destructor.
  void Stop();

 private:
  enum class Reply { kAnswer, kNone, kDropped };
  Reply Answer(const std::vector<std::uint8_t>& message, std::vector<std::uint8_t>* answer, bool withControl);
  void Serve(int fd, bool withControl);
  void AcceptLoop(int listener);
  void VpcdLoop(std::string host, std::uint16_t port);

  VelaCard& card_;
  PinPadReader& reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable vpcdChanged_;
  bool vpcdConnected_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace vela::emu
