// The smart-card database as Windows reads it: which registered card a card
// in a reader is, by its ATR. vela3ro-tool's check, the Wine test host and the
// unit check of install/ all match by this one rule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vela::host {

using AtrBytes = std::vector<std::uint8_t>;

enum class AtrMatch {
  kMatches,       // Windows pairs the card with the entry
  kUnmaskedOnly,  // A & M == R & M, but R holds bits the mask clears: Windows never pairs it
  kNoMatch,
};

// SCardIntroduceCardType and SCardListCards: a card's ATR A matches an entry
// with ATR R and mask M when A has R's length and A & M == R, byte for byte;
// without a mask, when A == R. A mask of another length than R matches nothing.
AtrMatch MatchAtr(const AtrBytes& atr, const AtrBytes& registered, const AtrBytes& mask);

// What an entry must hold as its ATR for a card with `atr` under `mask`.
AtrBytes MaskedAtr(const AtrBytes& atr, const AtrBytes& mask);

// The card's name under which the MSI and install/vela3ro.reg register it.
inline constexpr const char* kCardName = "VELA G3 ReadOnly";
inline constexpr const char* kSmartCardsKey = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
// The value naming the minidriver of an entry (SCARD_PROVIDER_CARD_MODULE).
inline constexpr const char* kCardModuleValue = "80000001";

}  // namespace vela::host
