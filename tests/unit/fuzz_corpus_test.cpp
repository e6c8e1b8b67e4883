// Every input kept in fuzz/corpus/ goes once through the road its fuzz target
// drives, built here without libFuzzer (and under the sanitizers of the unit
// tier): an input that once found a fault stays a regression test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "emulated_card.h"
#include "reg_file_road.h"
#if VELA_PKCS11_ROADS
#include "cache_file_road.h"
#endif
#include "roads.h"

namespace vela::test {
namespace {

using Road = void (*)(std::span<const std::uint8_t> input);

void HostileCard(std::span<const std::uint8_t> data) {
  fuzz::ByteInput input(data);
  fuzz::DriveHostileCardRoad(input);
}

// A card of its own for every input; the fuzzer keeps one and resets it.
void HostRecords(std::span<const std::uint8_t> data) {
  EmulatedCard card;
  fuzz::ByteInput input(data);
  fuzz::DriveHostRecordsRoad(input, card, card.handle());
}

void RegFile(std::span<const std::uint8_t> data) { fuzz::DriveRegFileRoad(data.data(), data.size()); }

#if VELA_PKCS11_ROADS
void CacheFile(std::span<const std::uint8_t> data) {
  EXPECT_TRUE(fuzz::DriveCacheFileRoad(data.data(), data.size())) << "not encoded as it was read";
}

void Pkcs11(std::span<const std::uint8_t> data) {
  fuzz::ByteInput input(data);
  fuzz::DrivePkcs11Road(input);
}
#endif

// A corpus directory, named after its fuzz target, and the target's road.
// A new target's corpus joins with one row.
struct CorpusRoad {
  const char* target;
  Road road;
};
constexpr CorpusRoad kRoads[] = {
    {"hostile_card", HostileCard},
    {"host_records", HostRecords},
    {"reg_file", RegFile},
#if VELA_PKCS11_ROADS
    {"cache_file", CacheFile},
    {"pkcs11", Pkcs11},
#endif
};

std::vector<std::uint8_t> Contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzCorpus, EveryInputGoesThroughItsRoad) {
  const std::filesystem::path root = VELA_FUZZ_CORPUS_DIR;
  ASSERT_TRUE(std::filesystem::is_directory(root)) << root;
  std::vector<std::string> replayed;
  for (const auto& corpus : std::filesystem::directory_iterator(root)) {
    if (!corpus.is_directory()) continue;
    const std::string target = corpus.path().filename().string();
    const auto* entry = std::find_if(std::begin(kRoads), std::end(kRoads),
                                     [&](const CorpusRoad& r) { return target == r.target; });
    if (entry == std::end(kRoads)) {
      ADD_FAILURE() << "fuzz/corpus/" << target << " has no road here: add its row to kRoads";
      continue;
    }
    std::vector<std::filesystem::path> inputs;
    for (const auto& file : std::filesystem::directory_iterator(corpus.path())) {
      if (file.is_regular_file()) inputs.push_back(file.path());
    }
    std::sort(inputs.begin(), inputs.end());
    EXPECT_FALSE(inputs.empty()) << "fuzz/corpus/" << target << " is empty";
    for (const std::filesystem::path& input : inputs) {
      SCOPED_TRACE("fuzz/corpus/" + target + "/" + input.filename().string());
      const std::vector<std::uint8_t> bytes = Contents(input);
      entry->road(bytes);
    }
    replayed.push_back(target);
  }
  for (const CorpusRoad& r : kRoads) {
    EXPECT_NE(std::find(replayed.begin(), replayed.end(), r.target), replayed.end())
        << "no corpus for " << r.target;
  }
}

}  // namespace
}  // namespace vela::test
