// The model of the card's link (emulator/link_model.h), fed by the emulated
// card's trace, and the emulated card's options that use it. The expected
// times are worked out by hand from the link's rules, not from the code.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "emulator/card_options.h"
#include "emulator/link_model.h"

namespace vela::test {
namespace {

using emu::CardWork;
using emu::LinkProfile;

const LinkProfile& Profile(const char* name) {
  const LinkProfile* profile = emu::FindLinkProfile(name);
  EXPECT_NE(profile, nullptr) << name;
  static const LinkProfile none{};
  return profile != nullptr ? *profile : none;
}

TEST(CardTimeTest, ExchangesOnEachLink) {
  struct Case {
    const char* what;
    const char* profile;
    std::size_t command, response;
    CardWork work;
    double expected;  // seconds
  };
  constexpr double kEtu9600 = 1.0 / 9600, kEtu115200 = 1.0 / 115200;
  constexpr double kBit424 = 32 / 13.56e6, kFrameDelay = 1172 / 13.56e6;
  const Case cases[] = {
      // One I-block each way: (11 bytes + 2 x 4 framing) x 12 etu + 2 turns x 10 etu, and 2 ms in the card.
      {"SELECT", "contact-9600", 9, 2, CardWork::kNone, 248 * kEtu9600 + 0.002},
      {"SELECT", "contact-115200", 9, 2, CardWork::kNone, 248 * kEtu115200 + 0.002},
      {"SELECT", "redirected", 9, 2, CardWork::kNone, 248 * kEtu9600 + 0.002 + 0.030},
      // 257 bytes back exceed an IFSD of 254: two I-blocks and the reader's R-block between them.
      {"READ BINARY of 255", "contact-9600", 5, 257, CardWork::kNone,
       ((5 + 4) * 12 + (257 + 3 * 4) * 12 + 4 * 10) * kEtu9600 + 0.002},
      // 38 bytes exceed an IFSC of 32: two I-blocks and the card's R-block.
      {"signature", "contact-9600", 38, 66, CardWork::kSignature,
       ((38 + 3 * 4) * 12 + (66 + 4) * 12 + 4 * 10) * kEtu9600 + 0.100},
      // 72 bytes: three I-blocks and two R-blocks of the card.
      {"agreement", "contact-9600", 72, 34, CardWork::kAgreement,
       ((72 + 5 * 4) * 12 + (34 + 4) * 12 + 6 * 10) * kEtu9600 + 0.100},
      // 9 bits a byte, 2 a frame, 3 bytes around each frame's data, a delay before each frame.
      {"SELECT", "contactless-424k", 9, 2, CardWork::kNone,
       ((11 + 2 * 3) * 9 + 2 * 2) * kBit424 + 2 * kFrameDelay + 0.002},
      {"READ BINARY of 255", "contactless-424k", 5, 257, CardWork::kNone,
       ((5 + 257 + 4 * 3) * 9 + 4 * 2) * kBit424 + 4 * kFrameDelay + 0.002},
  };
  for (const Case& c : cases) {
    EXPECT_NEAR(emu::ExchangeSeconds(Profile(c.profile), c.command, c.response, c.work), c.expected, 1e-9)
        << c.what << " on " << c.profile;
  }
}

TEST(CardTimeTest, TraceCountsCommandsBytesAndTheCardsWork) {
  std::istringstream trace(
      "> 00 A4 08 0C 04 DF 02 C0 00\n"
      "< 90 00\n"
      "> 00 2A 9E 9A 02 01 02 00\n"
      "< 69 82\n"                      // refused: the card computed nothing
      "> 00 2A 9E 9A 02 01 02 00\n"
      "< 0A 0B 90 00\n"
      "> 00 2A 80 86 02 00 04 00\n"
      "< 0C 90 00\n"
      "> 00 B0 00 00 FF\n"
      "< dropped\n"                    // never reached the card
      "emulated-card: card ready\n");  // not a trace line
  emu::LinkUse use;
  std::string error;
  ASSERT_TRUE(emu::ReadTrace(trace, &use, &error)) << error;
  EXPECT_EQ(use.commands(), 4u);
  EXPECT_EQ(use.bytesToCard(), 9u + 8 + 8 + 8);
  EXPECT_EQ(use.bytesFromCard(), 2u + 2 + 4 + 3);
  EXPECT_EQ(use.signatures(), 1u);
  EXPECT_EQ(use.agreements(), 1u);
  const LinkProfile& link = Profile("contact-9600");
  EXPECT_NEAR(use.Seconds(link),
              emu::ExchangeSeconds(link, 9, 2, CardWork::kNone) + emu::ExchangeSeconds(link, 8, 2, CardWork::kNone) +
                  emu::ExchangeSeconds(link, 8, 4, CardWork::kSignature) +
                  emu::ExchangeSeconds(link, 8, 3, CardWork::kAgreement),
              1e-12);

  for (const char* bad : {"> 00 A4 0\n< 90 00\n", "> 00 A4\n< 9G 00\n", "< 90 00\n"}) {
    std::istringstream in(bad);
    emu::LinkUse ignored;
    EXPECT_FALSE(emu::ReadTrace(in, &ignored, &error)) << bad;
    EXPECT_NE(error.find("line "), std::string::npos) << error;
  }
}

// The options of vela-card the card's time and the cache's proof depend on,
// given on the command line and in a --config file, where later options win.
TEST(CardTimeTest, LinkAndCertificateGenerationOptions) {
  char path[] = "/tmp/vela-card-options-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "# a renewed card on a slow reader\nlink=contact-9600\ncert-generation=3\nseed=5\n";

  const emu::CardOptions fromFile = emu::ParseCardOptions({"--config", path});
  EXPECT_EQ(fromFile.link, emu::FindLinkProfile("contact-9600"));
  EXPECT_EQ(fromFile.card.certificateGeneration, 3u);
  EXPECT_EQ(fromFile.card.seed, 5u);

  const emu::CardOptions overridden =
      emu::ParseCardOptions({"--config", path, "--link", "none", "--cert-generation=0"});
  EXPECT_EQ(overridden.link, nullptr);
  EXPECT_EQ(overridden.card.certificateGeneration, 0u);
  EXPECT_EQ(emu::ParseCardOptions({"--link=redirected"}).link, emu::FindLinkProfile("redirected"));
  EXPECT_EQ(emu::ParseCardOptions({}).link, nullptr);

  // The cards the cache's tests put in: new keys, another issuer, another ATR.
  const emu::CardOptions stale = emu::ParseCardOptions(
      {"--key-generation", "2", "--ca-name", "Another CA", "--atr", "3B8A018056454C414733019000F0"});
  EXPECT_EQ(stale.card.keyGeneration, 2u);
  EXPECT_EQ(stale.card.caName, "Another CA");
  EXPECT_EQ(stale.card.atr, (emu::Bytes{0x3B, 0x8A, 0x01, 0x80, 0x56, 0x45, 0x4C, 0x41, 0x47, 0x33, 0x01, 0x90, 0x00,
                                        0xF0}));

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--link", "contact"}, {"--cert-generation", "1001"}, {"--cert-generation", "-1"}, {"--link"},
           {"--key-generation", "1001"}, {"--ca-name", ""}, {"--atr", "3B"}, {"--atr", std::string(68, 'A')},
           {"--atr", "3B8X"}}) {
    EXPECT_THROW(emu::ParseCardOptions(bad), emu::OptionError) << bad[0];
  }
  std::ofstream(path) << "link=fast\n";
  EXPECT_THROW(emu::ParseCardOptions({"--config", path}), emu::OptionError);
  std::remove(path);
}

}  // namespace
}  // namespace vela::test
