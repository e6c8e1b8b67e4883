// Programs logged in on one card while other programs change the PIN,
// mistype it, reset the card or are killed: each a process of its own that
// loads the module, through pcscd and vpcd to the emulated card, driven
// from here command by command. The card's retry counter is read afterwards
// by another program (opensc-tool) with a VERIFY without data, which costs
// no try. The card is left with its PIN and counter as the other tests
// know them.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "p11_client.h"

namespace vela::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kOldPin = "123456";
constexpr const char* kNewPin = "654321";
// The PINs as the card's commands carry them.
constexpr const char* kOldPinHex = "31:32:33:34:35:36";
constexpr const char* kNewPinHex = "36:35:34:33:32:31";
constexpr const char* kUnblockCodeHex = "31:32:33:34:35:36:37:38";

// The user PIN's counter as another program reads it: "63C3" is three
// tries, "9000" verified (a verification that succeeded filled the counter).
std::string UserPinStatus() {
  const std::vector<std::string> words = CardAnswers({"00:20:00:03"});
  return words.empty() ? "no answer" : words[0];
}

// The card back as every test finds it: the unblocking code sets the user
// PIN to 123456 and fills its counter, whatever happened to it.
void RestoreUserPin() {
  const std::vector<std::string> words =
      CardAnswers({std::string("00:2C:00:03:0E:") + kUnblockCodeHex + ":" + kOldPinHex});
  ASSERT_EQ(words, std::vector<std::string>{"9000"});
  EXPECT_EQ(UserPinStatus(), "63C3");
}

// A program of its own on the card: the module initialised, a read-write
// session open and, with a PIN, logged in. It then does what it is told,
// one command at a time, and answers with the CK_RV of each.
class Program {
 public:
  enum Command : char {
    kSign = 's',         // C_SignInit, C_Sign for the length, C_Sign; checked with OpenSSL
    kLoginOld = 'o',     // C_Login with 123456
    kLoginNew = 'n',     // C_Login with 654321
    kLogout = 'x',       // C_Logout
    kChangePin = 'p',    // C_SetPIN 123456 -> 654321
    kState = 'i',        // the session's state (C_GetSessionInfo)
    kCloseSession = 'c', // C_CloseSession
    kFinalize = 'q',     // C_Finalize, and the program exits
  };
  // The signature that OpenSSL did not verify.
  static constexpr CK_RV kBadSignature = 0xBAD516;

  explicit Program(const char* pin) {
    int down[2];
    int up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = Spawn([&] {
      close(down[1]);
      close(up[0]);
      return Serve(down[0], up[1], pin);
    });
    close(down[0]);
    close(up[1]);
    to_ = down[1];
    from_ = up[0];
    started_ = Read();
  }
  ~Program() {
    if (pid_ > 0 && !ended_) {
      Ask(kFinalize);
      Wait(pid_);
    }
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // What starting answered: the login's result, or CKR_OK for a public session.
  CK_RV started() const { return started_; }
  CK_RV Ask(Command command) {
    if (ended_ || write(to_, &command, 1) != 1) return CKR_GENERAL_ERROR;
    if (command == kFinalize) {
      ended_ = true;
      return Wait(pid_) == 0 ? CKR_OK : CKR_GENERAL_ERROR;
    }
    return Read();
  }
  // The end a program cannot run code for.
  void Kill() {
    kill(pid_, SIGKILL);
    Wait(pid_);
    ended_ = true;
  }

 private:
  CK_RV Read() {
    CK_RV rv = CKR_GENERAL_ERROR;
    // A program that hangs answers nothing: it fails, and is ended so that
    // it holds neither the test nor the card.
    pollfd answer{from_, POLLIN, 0};
    if (poll(&answer, 1, 60000) != 1) {
      if (pid_ > 0) Kill();
      return rv;
    }
    return read(from_, &rv, sizeof(rv)) == sizeof(rv) ? rv : CKR_GENERAL_ERROR;
  }

  static int Serve(int in, int out, const char* pin) {
    CK_FUNCTION_LIST* p11 = LoadModule();
    CardProgram program(p11);
    const auto answer = [&](CK_RV rv) { return write(out, &rv, sizeof(rv)) == sizeof(rv); };
    CK_RV rv = p11->C_Initialize(nullptr);
    const CK_SLOT_ID slot = rv == CKR_OK ? program.FindToken() : CK_UNAVAILABLE_INFORMATION;
    if (rv == CKR_OK && slot == CK_UNAVAILABLE_INFORMATION) rv = CKR_TOKEN_NOT_PRESENT;
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (rv == CKR_OK) rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
    if (rv == CKR_OK && pin != nullptr) rv = program.Login(session, pin);
    const Pkey publicKey = rv == CKR_OK ? program.PublicKey(session, 0) : nullptr;
    CK_OBJECT_HANDLE key = rv == CKR_OK && pin != nullptr ? program.Key(session, CKO_PRIVATE_KEY, 0) : 0;
    if (!answer(rv)) return 1;
    int signatures = 0;
    for (char command = 0; read(in, &command, 1) == 1;) {
      switch (command) {
        case kSign: {
          const std::string text = "signature " + std::to_string(++signatures);
          const Bytes data(text.begin(), text.end());
          Bytes signature;
          rv = program.Sign(session, key, data, &signature, true);
          if (rv == CKR_OK && !ReferenceEcdsaVerify(publicKey.get(), ReferenceDigest("SHA256", data), signature)) {
            rv = kBadSignature;
          }
          break;
        }
        case kLoginOld:
        case kLoginNew:
          rv = program.Login(session, command == kLoginOld ? kOldPin : kNewPin);
          if (rv == CKR_OK && key == 0) key = program.Key(session, CKO_PRIVATE_KEY, 0);
          break;
        case kLogout: rv = p11->C_Logout(session); break;
        case kChangePin: {
          std::string oldPin = kOldPin, newPin = kNewPin;
          rv = p11->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
                             reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size());
          break;
        }
        case kState: {
          CK_SESSION_INFO info{};
          rv = p11->C_GetSessionInfo(session, &info);
          if (rv == CKR_OK) rv = info.state;
          break;
        }
        case kCloseSession: rv = p11->C_CloseSession(session); break;
        case kFinalize: return p11->C_Finalize(nullptr) == CKR_OK ? 0 : 2;
        default: rv = CKR_ARGUMENTS_BAD;
      }
      if (!answer(rv)) return 1;
    }
    return 3;
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  CK_RV started_ = CKR_GENERAL_ERROR;
  bool ended_ = false;
};

std::vector<std::unique_ptr<Program>> LoggedIn(int count) {
  std::vector<std::unique_ptr<Program>> programs;
  for (int i = 0; i < count; ++i) {
    programs.push_back(std::make_unique<Program>(kOldPin));
    EXPECT_EQ(programs.back()->started(), CKR_OK) << "program " << i;
    EXPECT_EQ(programs.back()->Ask(Program::kSign), CKR_OK) << "program " << i;
  }
  return programs;
}

class PinReplay : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(LoadModule(), nullptr) << "cannot load " << Environment("VELA_P11_MODULE"); }
  void TearDown() override { RestoreUserPin(); }
};

// One, two and three programs logged in while a fourth changes the PIN and
// logs out (which resets the card). Changed through the module, the change
// is known and no program presents the old PIN; changed behind the module's
// back (a raw command), one of them finds out at the cost of one try and
// the others learn from it. Either way each login ends cleanly: the program
// logs in with the new PIN and signs with the same handles.
TEST_F(PinReplay, PinChangedUnderLoggedInPrograms) {
  struct Case {
    int programs;
    bool raw;
    const char* triesAfter;
  };
  const Case cases[] = {{1, false, "63C3"}, {2, false, "63C3"}, {3, false, "63C3"},
                        {1, true, "63C2"},  {2, true, "63C2"},  {3, true, "63C2"}};
  for (const Case& c : cases) {
    const std::string name = std::to_string(c.programs) + " program(s), PIN changed " +
                             (c.raw ? "with a raw command" : "through the module");
    SCOPED_TRACE(name);
    auto programs = LoggedIn(c.programs);
    if (c.raw) {
      const std::string change = std::string("00:24:00:03:0C:") + kOldPinHex + ":" + kNewPinHex;
      ASSERT_EQ(CardAnswers({change}), std::vector<std::string>{"9000"});
      // A program that knows the new PIN logs in and out.
      Program other(kNewPin);
      ASSERT_EQ(other.started(), CKR_OK);
      ASSERT_EQ(other.Ask(Program::kLogout), CKR_OK);
    } else {
      Program changer(kOldPin);
      ASSERT_EQ(changer.started(), CKR_OK);
      ASSERT_EQ(changer.Ask(Program::kChangePin), CKR_OK);
      ASSERT_EQ(changer.Ask(Program::kLogout), CKR_OK);
    }
    std::vector<CK_RV> signs;
    for (auto& program : programs) signs.push_back(program->Ask(Program::kSign));
    const std::string tries = UserPinStatus();
    std::printf("measured: %s: the user PIN's counter answers %s afterwards\n", name.c_str(), tries.c_str());
    EXPECT_EQ(tries, c.triesAfter);
    for (std::size_t i = 0; i < programs.size(); ++i) {
      SCOPED_TRACE("program " + std::to_string(i));
      EXPECT_EQ(signs[i], CKR_USER_NOT_LOGGED_IN);
      EXPECT_EQ(programs[i]->Ask(Program::kState), CKS_RW_PUBLIC_SESSION);
      EXPECT_EQ(programs[i]->Ask(Program::kLoginNew), CKR_OK);
      EXPECT_EQ(programs[i]->Ask(Program::kSign), CKR_OK);
    }
    programs.clear();
    RestoreUserPin();
  }
}

// Another program's mistyped PIN makes the card drop the verified PIN and
// costs a try; the logged-in programs present theirs once and go on, which
// fills the counter again. The mistake comes from pkcs11-tool.
TEST_F(PinReplay, AnotherProgramsWrongPinUnderLoggedInPrograms) {
  auto programs = LoggedIn(2);
  const std::string module = Environment("VELA_P11_MODULE");
  const std::string mistake = "pkcs11-tool --module '" + module +
                              "' --login --pin 111111 --sign --mechanism ECDSA-SHA256 --id 00 "
                              "--input-file /dev/null --output-file /dev/null >/dev/null 2>&1";
  EXPECT_NE(std::system(mistake.c_str()), 0);
  for (std::size_t i = 0; i < programs.size(); ++i) {
    EXPECT_EQ(programs[i]->Ask(Program::kSign), CKR_OK) << "program " << i;
    EXPECT_EQ(programs[i]->Ask(Program::kState), CKS_RW_USER_FUNCTIONS) << "program " << i;
  }
  for (auto& program : programs) EXPECT_EQ(program->Ask(Program::kLogout), CKR_OK);
  const std::string tries = UserPinStatus();
  std::printf("measured: after another program's wrong PIN under 2 logged-in programs: %s\n", tries.c_str());
  EXPECT_EQ(tries, "63C3");
}

// A program killed while logged in cannot reset the card, and pcscd does not
// while another program holds a connection; that one resets the card when it
// ends its use of it, holding no login itself.
TEST_F(PinReplay, KilledProgramsPinGoesWithTheNextProgramsEnd) {
  struct Case {
    const char* name;
    Program::Command end;
  };
  for (const Case& c : {Case{"the last session closed", Program::kCloseSession},
                        Case{"C_Finalize", Program::kFinalize}}) {
    SCOPED_TRACE(c.name);
    Program onlyOpen(nullptr);
    ASSERT_EQ(onlyOpen.started(), CKR_OK);
    Program killed(kOldPin);
    ASSERT_EQ(killed.started(), CKR_OK);
    killed.Kill();
    EXPECT_EQ(UserPinStatus(), "9000") << "pcscd reset the card at the kill";
    EXPECT_EQ(onlyOpen.Ask(c.end), CKR_OK);
    EXPECT_EQ(UserPinStatus(), "63C3");
  }
}

// Programs start while another logs in and out in a loop, each logout a
// reset of the card: every one of them finds the token.
TEST_F(PinReplay, ProgramsStartWhileAnotherResetsTheCard) {
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  const pid_t resetter = Spawn([&] {
    close(stop[1]);
    CK_FUNCTION_LIST* p11 = LoadModule();
    CardProgram program(p11);
    if (p11->C_Initialize(nullptr) != CKR_OK) return 1;
    const CK_SESSION_HANDLE session = program.Open(program.FindToken());
    int failures = 0;
    for (int round = 0;; ++round) {
      pollfd done{stop[0], POLLIN, 0};
      if (poll(&done, 1, 0) != 0) break;
      if (program.Login(session) != CKR_OK || p11->C_Logout(session) != CKR_OK) ++failures;
    }
    p11->C_Finalize(nullptr);
    return failures == 0 ? 0 : 2;
  });
  close(stop[0]);
  constexpr int kStarts = 400;
  const Clock::time_point end = Clock::now() + std::chrono::seconds(90);
  int starts = 0;
  int failures = 0;
  for (; starts < kStarts && Clock::now() < end; ++starts) {
    const int status = Wait(Spawn([] {
      CK_FUNCTION_LIST* p11 = LoadModule();
      CardProgram program(p11);
      if (p11->C_Initialize(nullptr) != CKR_OK) return 1;
      const bool found = program.FindToken() != CK_UNAVAILABLE_INFORMATION;
      p11->C_Finalize(nullptr);
      return found ? 0 : 2;
    }));
    failures += status != 0;
  }
  close(stop[1]);
  EXPECT_EQ(Wait(resetter), 0) << "the program logging in and out failed";
  std::printf("measured: %d of %d programs started while another reset the card found no token\n", failures,
              starts);
  EXPECT_EQ(failures, 0);
  EXPECT_GE(starts, 100) << "too few starts to show anything";
}

}  // namespace
}  // namespace vela::test
