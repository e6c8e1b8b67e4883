#include "host/card_database.h"

namespace vela::host {

AtrMatch MatchAtr(const AtrBytes& atr, const AtrBytes& registered, const AtrBytes& mask) {
  if (atr.size() != registered.size()) return AtrMatch::kNoMatch;
  if (mask.empty()) return atr == registered ? AtrMatch::kMatches : AtrMatch::kNoMatch;
  if (mask.size() != registered.size()) return AtrMatch::kNoMatch;
  bool exact = true, lenient = true;
  for (std::size_t i = 0; i < atr.size(); ++i) {
    exact = exact && (atr[i] & mask[i]) == registered[i];
    lenient = lenient && (atr[i] & mask[i]) == (registered[i] & mask[i]);
  }
  return exact ? AtrMatch::kMatches : lenient ? AtrMatch::kUnmaskedOnly : AtrMatch::kNoMatch;
}

AtrBytes MaskedAtr(const AtrBytes& atr, const AtrBytes& mask) {
  AtrBytes out(atr);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] &= i < mask.size() ? mask[i] : 0;
  return out;
}

std::vector<const CardEntry*> MatchingEntries(const std::vector<CardEntry>& entries, const AtrBytes& atr) {
  std::vector<const CardEntry*> found;
  for (const CardEntry& entry : entries) {
    if (MatchAtr(atr, entry.atr, entry.mask) == AtrMatch::kMatches) found.push_back(&entry);
  }
  return found;
}

}  // namespace vela::host
