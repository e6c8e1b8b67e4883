// Hostile host records (derivation parameter lists, signing and agreement
// records, property names and buffers, file names, PIN data) into a valid
// context on an emulated card.
#include "emulated_card.h"
#include "roads.h"

namespace {

// Making a card takes tens of milliseconds, so one card serves every input:
// an unblock with the right code puts the user PIN and both counters back,
// and a power cycle the rest. Only a blocked unblocking code needs a new card.
bool MadePristine(vela::test::EmulatedCard& card) {
  const std::uint8_t unblock[] = {0x00, 0x2C, 0x00, 0x03, 0x0E, '1', '2', '3', '4', '5', '6', '7', '8',
                                  '1',  '2',  '3',  '4',  '5',  '6'};
  std::vector<std::uint8_t> answer;
  const bool restored = card.Transmit(unblock, &answer) == 0 && answer == std::vector<std::uint8_t>{0x90, 0x00};
  card->Reset();
  return restored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Never destroyed: the card routes outlive no static of the test platform.
  static vela::test::EmulatedCard* card = new vela::test::EmulatedCard();
  if (!MadePristine(*card)) {
    delete card;
    card = new vela::test::EmulatedCard();
  }
  vela::fuzz::ByteInput input({data, size});
  vela::fuzz::DriveHostRecordsRoad(input, *card, card->handle());
  // Memory the input took and kept makes libFuzzer look for leaks after every
  // run; the card's trace is the only such memory.
  (*card)->ClearTrace();
  return 0;
}
