#include <cstring>
#include <numeric>

#include "auth_fixture.h"

namespace vela::test {
namespace {

constexpr char kSignature[] =
    "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF B0 B1 B2 B3 B4 B5 B6 B7 B8 B9 BA BB BC BD BE BF "
    "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF D0 D1 D2 D3 D4 D5 D6 D7 D8 D9 DA DB DC DD DE DF";
BYTE* const kUntouchedBuffer = reinterpret_cast<BYTE*>(0x5A5A);
constexpr DWORD kUntouchedLength = 77;

// The host's padding callback: hands out a block of `length` bytes 00 01 02 ..
// from the host's heap, or fails with `result`.
struct PadScript {
  DWORD result = 0;
  DWORD length = 32;
  bool nullBlock = false;
  int calls = 0;
  DWORD maxWidth = 0;
  CARD_SIGNING_INFO* info = nullptr;
} pad;

DWORD VELA_WINAPI Pad(CARD_SIGNING_INFO* info, DWORD maxWidth, DWORD* paddedLength, PBYTE* padded) {
  ++pad.calls;
  pad.info = info;
  pad.maxWidth = maxWidth;
  if (pad.result != 0) return pad.result;
  auto* block = static_cast<BYTE*>(HostHeap::Alloc(pad.length));
  std::iota(block, block + pad.length, BYTE{0});
  if (pad.nullBlock) {
    HostHeap::Free(block);
    block = nullptr;
  }
  *padded = block;
  *paddedLength = pad.length;
  return 0;
}

std::string Sequence(DWORD length, bool reversed) {
  std::vector<BYTE> bytes(length);
  std::iota(bytes.begin(), bytes.end(), BYTE{0});
  if (reversed) std::reverse(bytes.begin(), bytes.end());
  return ToHex(bytes);
}

class SigningTest : public AcquiredCardTest {
 protected:
  void SetUp() override {
    AcquiredCardTest::SetUp();
    pad = PadScript{};
    host_->pfnCspPadData = Pad;
    hash_ = Hex(Sequence(32, false));
    info_.dwVersion = 2;
    info_.bContainerIndex = 0;
    info_.dwKeySpec = AT_ECDSA_P256;
    info_.pbData = hash_.data();
    info_.cbData = static_cast<DWORD>(hash_.size());
    info_.pbSignedData = kUntouchedBuffer;
    info_.cbSignedData = kUntouchedLength;
  }
  // The entry's select, then MSE with `keyRef` and PSO with `block`, whose
  // answer is `answer` or, when that is null, a failed exchange.
  void ExpectSignature(BYTE keyRef, const std::string& block, const char* answer) {
    const BYTE lc = static_cast<BYTE>(Hex(block).size());
    ExpectExchange("00 22 41 B6 03 84 01 " + ToHex({&keyRef, 1}), "90 00");
    const std::string pso = "00 2A 9E 9A " + ToHex({&lc, 1}) + " " + block + " 00";
    if (answer != nullptr) {
      card_.Expect(pso, answer);
    } else {
      card_.ExpectError(pso, SCARD_W_REMOVED_CARD);
    }
  }
  void ExpectSignature(BYTE keyRef, const std::string& block, const std::string& answer) {
    ExpectSignature(keyRef, block, answer.c_str());
  }
  // Takes the signature from the host record (and returns it to the heap).
  std::string TakeSignature() {
    std::string hex;
    if (info_.pbSignedData != nullptr && info_.pbSignedData != kUntouchedBuffer) {
      hex = ToHex({info_.pbSignedData, info_.cbSignedData});
      HostRelease(info_.pbSignedData);
      info_.pbSignedData = nullptr;
    }
    return hex;
  }

  std::vector<BYTE> hash_;
  CARD_SIGNING_INFO info_{};
};

// Each row breaks one thing in a valid request; the first failing check
// decides, so a row that breaks two shows which comes first.
TEST_F(SigningTest, RequestChecksInOrder) {
  struct Case {
    const char* name;
    bool signedIn;
    void (*breakIt)(CARD_SIGNING_INFO&, CARD_DATA&);
    DWORD result;
  };
  const Case cases[] = {
      {"data", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.pbData = nullptr; }, SCARD_E_INVALID_PARAMETER},
      {"pad callback", true, [](CARD_SIGNING_INFO&, CARD_DATA& d) { d.pfnCspPadData = nullptr; },
       SCARD_E_INVALID_PARAMETER},
      {"alloc callback", true, [](CARD_SIGNING_INFO&, CARD_DATA& d) { d.pfnCspAlloc = nullptr; },
       SCARD_E_INVALID_PARAMETER},
      {"version 3", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
      {"version 3, no PIN", false, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwVersion = 3; }, ERROR_REVISION_MISMATCH},
      {"no PIN", false, [](CARD_SIGNING_INFO&, CARD_DATA&) {}, SCARD_W_SECURITY_VIOLATION},
      {"no PIN, size only", false, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwSigningFlags = CARD_BUFFER_SIZE_ONLY; },
       SCARD_W_SECURITY_VIOLATION},
      {"no PIN, bad flag", false, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwSigningFlags = 0x10; },
       SCARD_W_SECURITY_VIOLATION},
      {"flag 0x10", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwSigningFlags = 0x10; }, SCARD_E_INVALID_PARAMETER},
      {"flag 0x80000000", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwSigningFlags = 0x80000000; },
       SCARD_E_INVALID_PARAMETER},
      {"flag and index", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwSigningFlags = 0x100; i.bContainerIndex = 16; },
       SCARD_E_INVALID_PARAMETER},
      {"SHA-384", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.aiHashAlg = 0x800D; }, SCARD_E_INVALID_PARAMETER},
      {"below MD5", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.aiHashAlg = 0x8002; }, SCARD_E_INVALID_PARAMETER},
      {"index 16", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 16; }, SCARD_E_NO_KEY_CONTAINER},
      {"index 255", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 255; }, SCARD_E_NO_KEY_CONTAINER},
      {"ECDH spec on a present signing key", true,
       [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.dwKeySpec = AT_ECDHE_P256; }, SCARD_E_INVALID_PARAMETER},
      {"ECDH spec on the absent container 7", true,
       [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 7; i.dwKeySpec = AT_ECDHE_P256; },
       SCARD_E_NO_KEY_CONTAINER},
      {"absent container 7", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 7; },
       SCARD_E_NO_KEY_CONTAINER},
      {"empty entry 8", true, [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 8; i.dwKeySpec = 0; },
       SCARD_E_NO_KEY_CONTAINER},
      {"key-exchange container 4", true,
       [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 4; i.dwKeySpec = AT_ECDHE_P256; },
       SCARD_E_NO_KEY_CONTAINER},
      {"key-exchange container 6", true,
       [](CARD_SIGNING_INFO& i, CARD_DATA&) { i.bContainerIndex = 6; i.dwKeySpec = AT_ECDHE_P256; },
       SCARD_E_NO_KEY_CONTAINER},
  };
  SignIn();
  const CARD_DATA original = host_.data;
  for (const Case& c : cases) {
    CARD_SIGNING_INFO info = info_;
    c.breakIt(info, host_.data);
    context_->userAuthenticated = c.signedIn;
    card_.ExpectSelectApplication();
    const std::size_t allocations = HostHeap::allocations();
    EXPECT_EQ(CardSignData(host_.get(), &info), c.result) << c.name;
    host_.data = original;
    EXPECT_EQ(info.pbSignedData, kUntouchedBuffer) << c.name;
    EXPECT_EQ(info.cbSignedData, kUntouchedLength) << c.name;
    EXPECT_EQ(HostHeap::allocations(), allocations) << c.name;
    EXPECT_EQ(pad.calls, 0) << c.name;
    EXPECT_TRUE(card_.done()) << c.name;
  }
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardSignData(host_.get(), nullptr), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(CardSignData(nullptr, &info_), SCARD_E_INVALID_PARAMETER);
}

TEST_F(SigningTest, SizeOnlyTouchesNothingButTheLength) {
  SignIn();
  for (DWORD flags : {CARD_BUFFER_SIZE_ONLY, CARD_BUFFER_SIZE_ONLY | CARD_PADDING_INFO_PRESENT | 0x1}) {
    info_.dwSigningFlags = flags;
    info_.aiHashAlg = CALG_SHA_256;
    info_.cbSignedData = kUntouchedLength;
    card_.ExpectSelectApplication();
    const std::size_t allocations = HostHeap::allocations();
    EXPECT_EQ(CardSignData(host_.get(), &info_), 0u);
    EXPECT_EQ(info_.cbSignedData, 64u);
    EXPECT_EQ(info_.pbSignedData, kUntouchedBuffer);
    EXPECT_EQ(HostHeap::allocations(), allocations);
    EXPECT_EQ(pad.calls, 0);
  }
}

TEST_F(SigningTest, UnpaddedDataGoesToTheCardUnchanged) {
  SignIn();
  struct Case {
    BYTE container;
    BYTE keyRef;
    DWORD length;
  };
  for (const Case& c : {Case{0, 0x80, 32}, Case{2, 0x82, 20}, Case{3, 0x82, 64}, Case{1, 0x80, 1}}) {
    hash_ = Hex(Sequence(c.length, false));
    info_.pbData = hash_.data();
    info_.cbData = c.length;
    info_.bContainerIndex = c.container;
    ExpectSignature(c.keyRef, Sequence(c.length, false), std::string(kSignature) + " 90 00");
    EXPECT_EQ(CardSignData(host_.get(), &info_), 0u) << c.length;
    EXPECT_EQ(info_.cbSignedData, 64u);
    EXPECT_EQ(TakeSignature(), kSignature);
    EXPECT_EQ(ToHex(hash_), Sequence(c.length, false)) << "the host's data changed";
  }
  EXPECT_EQ(pad.calls, 0);
}

TEST_F(SigningTest, TooLongBlockIsRefusedBeforeTheCard) {
  SignIn();
  hash_ = Hex(Sequence(65, false));
  info_.pbData = hash_.data();
  info_.cbData = 65;
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(info_.pbSignedData, kUntouchedBuffer);

  // The same from the padding callback; its block still goes back.
  info_.aiHashAlg = CALG_SHA_256;
  pad.length = 65;
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(pad.calls, 1);
  EXPECT_EQ(TakeSignature(), "") << "a failed call handed a signature buffer out";
}

TEST_F(SigningTest, PaddedBlockIsReversedEndForEnd) {
  SignIn();
  struct Case {
    ALG_ID algorithm;
    DWORD flags;
    DWORD length;
  };
  const Case cases[] = {{CALG_SHA_256, 0, 32}, {CALG_MD5, 0, 33}, {0, CARD_PADDING_INFO_PRESENT, 64},
                        {0, 0x1, 1}, {0x800A, 0, 2}};
  for (const Case& c : cases) {
    info_.aiHashAlg = c.algorithm;
    info_.dwSigningFlags = c.flags;
    pad = PadScript{};
    pad.length = c.length;
    ExpectSignature(0x80, Sequence(c.length, true), std::string(kSignature) + " 90 00");
    const std::size_t frees = HostHeap::frees();
    EXPECT_EQ(CardSignData(host_.get(), &info_), 0u) << c.length;
    EXPECT_EQ(pad.calls, 1);
    EXPECT_EQ(pad.maxWidth, 32u);
    EXPECT_EQ(pad.info, &info_);
    EXPECT_EQ(HostHeap::frees(), frees + 1) << "the padded block was not freed";
    EXPECT_EQ(TakeSignature(), kSignature);
  }
}

TEST_F(SigningTest, PadFailuresReachTheHostUnchanged) {
  SignIn();
  info_.aiHashAlg = CALG_SHA_256;
  pad.result = 0x8009000D;
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardSignData(host_.get(), &info_), 0x8009000Du);
  EXPECT_EQ(info_.pbSignedData, kUntouchedBuffer);
  EXPECT_EQ(info_.cbSignedData, 64u) << "the length is set before the block is prepared";

  // A callback that claims success without a block is refused, not reversed.
  pad = PadScript{};
  pad.nullBlock = true;
  card_.ExpectSelectApplication();
  EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(info_.pbSignedData, kUntouchedBuffer);
}

TEST_F(SigningTest, CardFailuresHandNothingOut) {
  SignIn();
  struct Case {
    const char* answer;  // null: the PSO exchange fails
    DWORD length;
  };
  const Case cases[] = {{"69 82", 0}, {"6A 80", 0}, {"01 02 03 90 00", 3}, {nullptr, kUntouchedLength}};
  for (const Case& c : cases) {
    const char* name = c.answer ? c.answer : "transport error";
    ExpectSignature(0x80, Sequence(32, false), c.answer);
    info_.cbSignedData = kUntouchedLength;
    EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_F_INTERNAL_ERROR) << name;
    EXPECT_EQ(info_.cbSignedData, c.length == kUntouchedLength ? 64u : c.length) << name;
    EXPECT_EQ(info_.pbSignedData, nullptr) << name;
  }
  // A 63-byte signature is no signature.
  const std::string shortSignature = std::string(kSignature).substr(0, 63 * 3 - 1);
  ExpectSignature(0x80, Sequence(32, false), shortSignature + " 90 00");
  EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_F_INTERNAL_ERROR);
  EXPECT_EQ(info_.cbSignedData, 63u);
  EXPECT_EQ(info_.pbSignedData, nullptr);
}

TEST_F(SigningTest, AllocationFailuresAreNoMemory) {
  SignIn();
  for (std::size_t after : {0u, 1u}) {  // the copy of the data, then the signature buffer
    HostHeap::FailAllocations(after, 1);
    card_.ExpectSelectApplication();
    const std::size_t live = HostHeap::Live();
    EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_E_NO_MEMORY) << after;
    EXPECT_EQ(HostHeap::Live(), live) << after;
    EXPECT_EQ(info_.pbSignedData, after == 0 ? kUntouchedBuffer : nullptr) << after;
    info_.pbSignedData = kUntouchedBuffer;
  }
}

TEST_F(SigningTest, DeauthenticationStopsSigning) {
  SignIn();
  WCHAR user[] = u"user";
  card_.ExpectSelectApplication().ExpectSelectApplication();
  ASSERT_EQ(CardDeauthenticate(host_.get(), user, 0), 0u);
  EXPECT_EQ(CardSignData(host_.get(), &info_), SCARD_W_SECURITY_VIOLATION);
}

}  // namespace
}  // namespace vela::test
