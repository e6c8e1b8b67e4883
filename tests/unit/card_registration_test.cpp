// The card's registration in install/ against the card itself: Windows pairs
// a card with a database entry only when ATR & mask equals the registered ATR.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "emulator/vela_card.h"
#include "fake_card.h"
#include "frontend/atr.h"
#include "host/card_database.h"
#include "platform/reg_file.h"

namespace vela::test {
namespace {

using host::AtrBytes;
using host::AtrMatch;

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(VELA_SOURCE_DIR) + "/" + relative, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

AtrBytes FromHexText(const std::string& hex) {
  AtrBytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

struct Registration {
  std::string source;
  AtrBytes atr, mask;
};

// The manual install's file, read as the registry editor reads it.
Registration FromRegFile() {
  const std::string text = ReadSource("install/vela3ro.reg");
  const auto file = platform::RegFile::Parse({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + host::kSmartCardsKey + "\\" + host::kCardName;
  Registration r{"install/vela3ro.reg", {}, {}};
  if (!file) return r;
  if (const auto* atr = file->Value(key, "ATR")) r.atr = *atr;
  if (const auto* mask = file->Value(key, "ATRMask")) r.mask = *mask;
  return r;
}

// The MSI's values, one include for both registry views.
Registration FromMsiSource() {
  const std::string text = ReadSource("install/card_registration.wxi");
  Registration r{"install/card_registration.wxi", {}, {}};
  std::smatch m;
  if (std::regex_search(text, m, std::regex(R"(Name="ATR"\s+Type="binary"\s+Value="([0-9A-Fa-f]*)\")"))) {
    r.atr = FromHexText(m[1]);
  }
  if (std::regex_search(text, m, std::regex(R"(Name="ATRMask"\s+Type="binary"\s+Value="([0-9A-Fa-f]*)\")"))) {
    r.mask = FromHexText(m[1]);
  }
  return r;
}

TEST(CardRegistration, RegisteredAtrIsTheCardsAtrUnderTheMask) {
  const AtrBytes card = emu::VelaCard::Atr();
  ASSERT_EQ(CheckAtr(card.data(), static_cast<DWORD>(card.size())), 0u);
  for (const Registration& r : {FromRegFile(), FromMsiSource()}) {
    SCOPED_TRACE(r.source);
    ASSERT_EQ(r.mask.size(), card.size());
    EXPECT_EQ(ToHex(r.atr), ToHex(host::MaskedAtr(card, r.mask)));
    EXPECT_EQ(host::MatchAtr(card, r.atr, r.mask), AtrMatch::kMatches);
  }
  EXPECT_EQ(ToHex(FromRegFile().atr), ToHex(FromMsiSource().atr));
  EXPECT_EQ(ToHex(FromRegFile().mask), ToHex(FromMsiSource().mask));
}

TEST(CardRegistration, WindowsRuleTable) {
  const std::string card = "3B8A018056454C414733009000F1";
  const std::string mask = "FFFFFFFFFFFFFFFFFFFF00FFFF00";
  const struct {
    const char* name;
    std::string atr, registered, mask;
    AtrMatch expected;
  } cases[] = {
      {"masked entry", card, "3B8A018056454C41473300900000", mask, AtrMatch::kMatches},
      {"another life-cycle byte and check byte", "3B8A018056454C414733079000F6", "3B8A018056454C41473300900000", mask,
       AtrMatch::kMatches},
      {"entry holding the unmasked ATR", card, card, mask, AtrMatch::kUnmaskedOnly},
      {"another name in the historical bytes", "3B8A018056454C414734009000F6", "3B8A018056454C41473300900000", mask,
       AtrMatch::kNoMatch},
      {"shorter card ATR", card.substr(0, 26), "3B8A018056454C414733009000", mask.substr(0, 26), AtrMatch::kMatches},
      {"length differs from the entry", card + "00", "3B8A018056454C41473300900000", mask, AtrMatch::kNoMatch},
      {"mask shorter than the entry", card, "3B8A018056454C41473300900000", mask.substr(0, 26), AtrMatch::kNoMatch},
      {"no mask: exact", card, card, "", AtrMatch::kMatches},
      {"no mask: one byte off", card, "3B8A018056454C414733019000F0", "", AtrMatch::kNoMatch},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::MatchAtr(FromHexText(c.atr), FromHexText(c.registered), FromHexText(c.mask)), c.expected)
        << c.name;
  }
}

}  // namespace
}  // namespace vela::test
