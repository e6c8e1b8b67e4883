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

// One card type of the database: the key's name and the values that matter.
struct CardEntry {
  std::string name;
  AtrBytes atr, mask;
  std::string module;          // "80000001": the minidriver's DLL name
  std::string cryptoProvider;  // "Crypto Provider"
  std::string keyStorageProvider;  // "Smart Card Key Storage Provider"
};

// The registry views of 64-bit Windows: the one 64-bit programs read, and the
// WOW6432Node one that 32-bit programs read.
enum class RegistryView { k64, k32 };

// The database of one view (Windows only). 0, or the registry's error code
// for the database key (2: there is none).
std::uint32_t ReadCardDatabase(RegistryView view, std::vector<CardEntry>* entries);

// The entries of `entries` that Windows pairs with a card of `atr`.
std::vector<const CardEntry*> MatchingEntries(const std::vector<CardEntry>& entries, const AtrBytes& atr);

// The card's name under which the MSI and install/vela3ro.reg register it.
inline constexpr const char* kCardName = "VELA G3 ReadOnly";
inline constexpr const char* kSmartCardsKey = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
// The value naming the minidriver of an entry (SCARD_PROVIDER_CARD_MODULE).
inline constexpr const char* kCardModuleValue = "80000001";

}  // namespace vela::host
