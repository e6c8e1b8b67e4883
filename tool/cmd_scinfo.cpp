// scinfo: what the module reports about the card. The card's basics come
// first; other parts of the tool add sections (RegisterScinfoSection).
#include "tool/command.h"

namespace vela::tool {
namespace {

constexpr std::size_t kCardIdLength = 16;
constexpr std::size_t kSerialOffset = 6;  // cardid: six zero bytes, then the ten serial bytes

// The serial number from the cardid file, or else from the card property that
// carries the same 16 bytes; null when the module gives neither.
Value SerialNumber(Session& session) {
  std::vector<BYTE> cardId;
  if (session.ReadFile(nullptr, "cardid", &cardId) == 0 && cardId.size() == kCardIdLength) {
    return host::HexBytes(cardId.data() + kSerialOffset, kCardIdLength - kSerialOffset, "");
  }
  CARD_DATA* card = session.card();
  if (card->pfnCardGetProperty == nullptr) return Value();
  BYTE property[kCardIdLength] = {};
  DWORD length = 0;
  const DWORD rc = session.Answer("CardGetProperty Card Serial Number",
                                  card->pfnCardGetProperty(card, u"Card Serial Number", property,
                                                           sizeof(property), &length, 0));
  if (rc != 0 || length != kCardIdLength) return Value();
  return host::HexBytes(property + kSerialOffset, kCardIdLength - kSerialOffset, "");
}

void AddCard(Session& session, Value& report) {
  report.Set("reader", session.reader());
  report.Set("atr", host::HexBytes(session.atr().data(), session.atr().size()));
  report.Set("serialNumber", SerialNumber(session));
  report.Set("interfaceVersion", session.card()->dwVersion);
}

int Scinfo(Args& args, Session& session) {
  args.Positional();
  if (!args.error().empty()) {
    session.Fail(args.error());
    return kExitUsage;
  }
  Value& report = session.report();
  report.Set("module", session.modulePath());
  report.Set("readers", session.ReaderList());
  for (const ScinfoSection& section : ScinfoSections()) section.add(session, report);
  report.Set("moduleAnswers", session.answers());
  return kExitOk;
}

const RegisterScinfoSection kCardSection{{0, "card", AddCard}};
const RegisterCommand kScinfo{{"scinfo", "", "the reader, the card and what the module reports about it", Scinfo}};

}  // namespace
}  // namespace vela::tool
