// Writes the seed corpora: hostile-card roads recorded from the emulated card
// (every answer as the real card gives it), and one host-records input per
// entry. Run by hand when the roads change:  fuzz_make_seeds fuzz/corpus
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "emulated_card.h"
#include "host_operations.h"
#include "roads.h"

namespace {

void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::size_t IndexOf(const char* name) {
  const auto operations = vela::test::HostOperations();
  for (std::size_t i = 0; i < operations.size(); ++i) {
    if (std::string(operations[i].name) == name) return i;
  }
  return 0;
}

// A reader with a PIN pad on which the user types the default PIN.
class PinPadReader : public vela::test::CardEndpoint {
 public:
  static constexpr std::uint32_t kVerifyDirect = 0x42330006;
  std::uint32_t Transmit(std::span<const std::uint8_t> command, std::vector<std::uint8_t>* response) override {
    return card_.Transmit(command, response);
  }
  std::uint32_t Control(std::uint32_t code, std::span<const std::uint8_t> in, std::vector<std::uint8_t>* out) override {
    if (code != kVerifyDirect) {
      *out = {0x06, 0x04, 0x42, 0x33, 0x00, 0x06};
      return 0;
    }
    // The block ends with the VERIFY header; the reader adds what was typed.
    std::vector<std::uint8_t> verify(in.end() - 4, in.end());
    verify.insert(verify.end(), {0x06, '1', '2', '3', '4', '5', '6'});
    return card_.Transmit(verify, out);
  }

 private:
  vela::test::EmulatedCard card_;
};

// A host-records road with scripted choices (record bytes are zeros).
std::vector<std::uint8_t> HostRecords(const std::vector<std::size_t>& choices) {
  vela::test::EmulatedCard card;
  vela::fuzz::SeedWriter writer(&card, choices);
  vela::fuzz::DriveHostRecordsRoad(writer, card, card.handle());
  return writer.seed();
}

// The choices of a CardDeriveKey record (entry 0), field by field as the
// road asks for them: `list` (its length, then each buffer), then the list
// present, `kdf`, and after it an output buffer of 64 bytes, version 2,
// flags 0, the function name present, slot 0 (the agreed one), the list
// present.
std::vector<std::size_t> DeriveChoices(std::vector<std::size_t> list, std::size_t kdf) {
  std::vector<std::size_t> choices = {0};
  choices.insert(choices.end(), list.begin(), list.end());
  choices.insert(choices.end(), {1, kdf, 1, 64, 2, 0, 1, 0, 1});
  return choices;
}

// The first choice turns PIN-pad mode on (0) or leaves it off.
std::vector<std::uint8_t> HostileRoad(std::vector<std::size_t> choices, bool pinPad = false) {
  PinPadReader card;
  choices.insert(choices.begin(), pinPad ? 0 : 1);
  vela::fuzz::SeedWriter writer(&card, choices);
  vela::fuzz::DriveHostileCardRoad(writer);
  return writer.seed();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  const auto operations = vela::test::HostOperations();
  const std::size_t verify = IndexOf("CardAuthenticateEx user");
  const std::size_t agree = IndexOf("CardConstructDHAgreement 4");
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < operations.size(); ++i) all.push_back(i);
  Write(root + "/hostile_card/every-operation", HostileRoad(all));
  Write(root + "/hostile_card/pin-pad", HostileRoad({verify, IndexOf("CardSignData 0")}, true));
  for (std::size_t i = 0; i < operations.size(); ++i) {
    std::string name = operations[i].name;
    for (char& c : name) c = (c == ' ' || c == '/') ? '-' : c;
    Write(root + "/hostile_card/" + name, HostileRoad({verify, agree, i}));
  }
  // Entry e with the usual choice for every field after it.
  for (std::uint8_t entry = 0; entry < 10; ++entry) {
    std::vector<std::uint8_t> input(96, 1);
    input[0] = entry;
    Write(root + "/host_records/entry-" + std::to_string(entry), input);
  }
  // Derivations on the agreed slot that reach the parameter walk with a
  // string, so the fuzzer starts next to the strings' handling.
  // One buffer: usual type 0 (hash name), 14 bytes, terminated, "SHA256",
  // present; "HASH".
  Write(root + "/host_records/derive-hash-name", HostRecords(DeriveChoices({1, 1, 0, 14, 1, 1, 1}, 0)));
  // Type 4 (label), 14 bytes, terminated, "master secret", present; type 5
  // (seed), 64 bytes, present; "TLS_PRF".
  Write(root + "/host_records/derive-tls-label",
        HostRecords(DeriveChoices({2, 1, 4, 14, 1, 0, 1, 1, 5, 64, 1}, 2)));
  return 0;
}
