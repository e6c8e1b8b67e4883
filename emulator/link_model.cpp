#include "emulator/link_model.h"

#include <algorithm>
#include <optional>

#include "emulator/hex.h"

namespace vela::emu {

namespace {

// The card's own times are one set for every profile: a P-256 signature or
// agreement on a smart card's coprocessor takes about a tenth of a second;
// any other command (a file selected, up to 255 bytes read) a few
// milliseconds.
constexpr double kSignature = 0.100;
constexpr double kAgreement = 0.100;
constexpr double kCommand = 0.002;

// A clock of 3.5712 MHz with Fi = 372 gives 9,600 etu per second with Di = 1
// (no TA1 in the ATR: this card) and 115,200 with Di = 12 (TA1 = 18).
const LinkProfile kProfiles[] = {
    {"contact-9600", "contact reader, T=1 at 9,600 bit/s (this card's ATR has no TA1)", LinkKind::kContactT1, 9600,
     0, kSignature, kAgreement, kCommand},
    {"contact-115200", "contact reader, T=1 at 115,200 bit/s (a card whose TA1 offers Di = 12)",
     LinkKind::kContactT1, 115200, 0, kSignature, kAgreement, kCommand},
    {"contactless-424k", "contactless reader, ISO 14443-4 Type A at fc/32 (424 kbit/s)", LinkKind::kContactlessA,
     13.56e6 / 32, 0, kSignature, kAgreement, kCommand},
    {"redirected", "contact-9600 on a remote desktop's redirected reader: 30 ms round trip per command",
     LinkKind::kContactT1, 9600, 0.030, kSignature, kAgreement, kCommand},
};

// ---- Contact, T=1 (ISO 7816-3) ----------------------------------------------
// Counted: every character is a start bit, 8 data bits and a parity bit (10
// etu) followed by the guard time; without TC1 the extra guard time N is 0,
// so characters of a block start 12 etu apart (CGT). A block is the prologue
// (NAD, PCB, LEN), the information field and the epilogue (LRC: no TC3), 4
// bytes around the data. Without TA3 the card's IFSC stays 32: a longer
// command goes in chained I-blocks, each but the last acknowledged by the
// card's R-block (4 bytes). The reader announces an IFSD of 254 (its S(IFS)
// request follows the ATR, once per power-up, not counted), so an answer of
// up to 254 bytes is one block and a 255-byte read plus its status word two,
// the first acknowledged by the reader's R-block. Blocks alternate direction,
// and a character sent after one of the other side starts at least BGT = 22
// etu after that one's start: 10 etu more per block than a character's 12.
// Not counted: ATR, PPS and S(IFS) at power-up, waiting-time extensions,
// retransmissions.
constexpr std::size_t kT1Framing = 4;
constexpr std::size_t kIfsc = 32;
constexpr std::size_t kIfsd = 254;
constexpr double kCharacterEtu = 12;
constexpr double kTurnEtu = 22 - kCharacterEtu;

// ---- Contactless, ISO 14443-4 on Type A ---------------------------------------
// Counted: every byte is 8 data bits and a parity bit; a frame adds a start
// and an end bit. A block is PCB, the information field and CRC_A (no CID, no
// NAD): 3 bytes around the data. Frame sizes FSC and FSD of 256 (FSCI 8),
// so 253 bytes of data per frame; chained frames are acknowledged with
// R(ACK) frames (3 bytes). Before every frame the other side waits the frame
// delay time, 1172/fc (86.4 us). Not counted: anticollision, RATS and PPS
// (once per activation), S(WTX), retransmissions.
constexpr std::size_t kIso14443Framing = 3;
constexpr std::size_t kFrameData = 256 - kIso14443Framing;
constexpr double kBitsPerByte = 9;
constexpr double kBitsPerFrame = 2;
constexpr double kFrameDelay = 1172 / 13.56e6;

std::size_t Blocks(std::size_t bytes, std::size_t perBlock) {
  return std::max<std::size_t>(1, (bytes + perBlock - 1) / perBlock);
}

double TransferSeconds(const LinkProfile& link, std::size_t commandBytes, std::size_t responseBytes) {
  if (link.kind == LinkKind::kContactT1) {
    const std::size_t commandBlocks = Blocks(commandBytes, kIfsc);
    const std::size_t responseBlocks = Blocks(responseBytes, kIfsd);
    // Each chained block but the last comes back as an R-block of the other side.
    const std::size_t blocks = 2 * commandBlocks - 1 + 2 * responseBlocks - 1;
    const std::size_t characters = commandBytes + responseBytes + blocks * kT1Framing;
    return (static_cast<double>(characters) * kCharacterEtu + static_cast<double>(blocks) * kTurnEtu) /
           link.bitsPerSecond;
  }
  const std::size_t commandFrames = Blocks(commandBytes, kFrameData);
  const std::size_t responseFrames = Blocks(responseBytes, kFrameData);
  const std::size_t frames = 2 * commandFrames - 1 + 2 * responseFrames - 1;
  const std::size_t bytes = commandBytes + responseBytes + frames * kIso14443Framing;
  return (static_cast<double>(bytes) * kBitsPerByte + static_cast<double>(frames) * kBitsPerFrame) /
             link.bitsPerSecond +
         static_cast<double>(frames) * kFrameDelay;
}

}  // namespace

std::span<const LinkProfile> LinkProfiles() { return kProfiles; }

const LinkProfile* FindLinkProfile(std::string_view name) {
  for (const LinkProfile& profile : kProfiles) {
    if (name == profile.name) return &profile;
  }
  return nullptr;
}

CardWork WorkOf(std::span<const std::uint8_t> command, std::span<const std::uint8_t> response) {
  if (command.size() < 4 || command[1] != 0x2A || response.size() < 2) return CardWork::kNone;
  if (response[response.size() - 2] != 0x90 || response[response.size() - 1] != 0x00) return CardWork::kNone;
  if (command[2] == 0x9E && command[3] == 0x9A) return CardWork::kSignature;
  if (command[2] == 0x80 && command[3] == 0x86) return CardWork::kAgreement;
  return CardWork::kNone;
}

double ExchangeSeconds(const LinkProfile& link, std::size_t commandBytes, std::size_t responseBytes, CardWork work) {
  const double card = work == CardWork::kSignature   ? link.signature
                      : work == CardWork::kAgreement ? link.agreement
                                                     : link.command;
  return TransferSeconds(link, commandBytes, responseBytes) + card + link.roundTrip;
}

void LinkUse::Add(std::size_t commandBytes, std::size_t responseBytes, CardWork work) {
  exchanges_.push_back({commandBytes, responseBytes, work});
  bytesToCard_ += commandBytes;
  bytesFromCard_ += responseBytes;
  if (work == CardWork::kSignature) ++signatures_;
  if (work == CardWork::kAgreement) ++agreements_;
}

void LinkUse::Add(std::span<const std::uint8_t> command, std::span<const std::uint8_t> response) {
  Add(command.size(), response.size(), WorkOf(command, response));
}

double LinkUse::Seconds(const LinkProfile& link) const {
  double seconds = 0;
  for (const Exchange& e : exchanges_) seconds += ExchangeSeconds(link, e.commandBytes, e.responseBytes, e.work);
  return seconds;
}

bool ReadTrace(std::istream& in, LinkUse* use, std::string* error) {
  std::string line;
  std::optional<std::vector<std::uint8_t>> command;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 2 || (line[0] != '>' && line[0] != '<') || line[1] != ' ') continue;
    const std::string text = line.substr(2);
    if (line[0] == '>') {
      command = ParseHex(text);
      if (!command) {
        *error = "line " + std::to_string(number) + ": bad command " + text;
        return false;
      }
      continue;
    }
    if (!command) {
      *error = "line " + std::to_string(number) + ": an answer without a command";
      return false;
    }
    if (text != "dropped") {
      const auto response = ParseHex(text);
      if (!response) {
        *error = "line " + std::to_string(number) + ": bad answer " + text;
        return false;
      }
      use->Add(*command, *response);
    }
    command.reset();
  }
  return true;
}

}  // namespace vela::emu
