// The card's time as a user waits for it: each exchange's command and answer
// carried over a link (framing included), plus what the card computes. One
// table of link profiles serves the benchmarks' card-time table and
// `vela-card --link`, which sleeps for the same time per exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela::emu {

enum class LinkKind {
  kContactT1,     // ISO 7816-3, T=1, with this card's ATR
  kContactlessA,  // ISO 14443-4 on Type A
};

struct LinkProfile {
  const char* name;
  const char* description;
  LinkKind kind;
  double bitsPerSecond;  // contact: etu per second; contactless: the bit rate
  double roundTrip;      // seconds every command adds (a reader redirected over a network)
  double signature;      // seconds the card computes an ECDSA P-256 signature
  double agreement;      // seconds the card computes an ECDH P-256 shared secret
  double command;        // seconds the card takes for any other command
};

// contact-9600, contact-115200, contactless-424k, redirected.
std::span<const LinkProfile> LinkProfiles();
// Null for a name not in the table.
const LinkProfile* FindLinkProfile(std::string_view name);

enum class CardWork { kNone, kSignature, kAgreement };
// What the card computed for this exchange: a signature or an agreement
// answered 90 00; anything else is an ordinary command.
CardWork WorkOf(std::span<const std::uint8_t> command, std::span<const std::uint8_t> response);

// Seconds one exchange takes on `link`: the command APDU of `commandBytes`
// and the response APDU of `responseBytes` (status word included) in their
// link's blocks, the card's own time and the link's round trip.
double ExchangeSeconds(const LinkProfile& link, std::size_t commandBytes, std::size_t responseBytes, CardWork work);

// What a client's session cost the card, exchange by exchange.
class LinkUse {
 public:
  void Add(std::size_t commandBytes, std::size_t responseBytes, CardWork work);
  void Add(std::span<const std::uint8_t> command, std::span<const std::uint8_t> response);

  std::size_t commands() const { return exchanges_.size(); }
  std::size_t bytesToCard() const { return bytesToCard_; }
  std::size_t bytesFromCard() const { return bytesFromCard_; }
  std::size_t signatures() const { return signatures_; }
  std::size_t agreements() const { return agreements_; }
  double Seconds(const LinkProfile& link) const;

 private:
  struct Exchange {
    std::size_t commandBytes;
    std::size_t responseBytes;
    CardWork work;
  };
  std::vector<Exchange> exchanges_;
  std::size_t bytesToCard_ = 0, bytesFromCard_ = 0, signatures_ = 0, agreements_ = 0;
};

// Reads vela-card's APDU trace ("> 00 A4 ..." then "< 90 00" per exchange);
// an exchange whose connection dropped ("< dropped") never reached the card
// and is left out. Lines that are neither are ignored. False when a line
// holds bad hexadecimal or an answer has no command before it.
bool ReadTrace(std::istream& in, LinkUse* use, std::string* error);

}  // namespace vela::emu
