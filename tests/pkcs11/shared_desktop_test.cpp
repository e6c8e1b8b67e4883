// Several programs on one card, as on a desktop: each a process of its own
// that loads the module, through pcscd and vpcd to the emulated card. One
// program's logout must not break another's login; no way a program ends may
// leave a PIN verified on the card; a forked child must not touch its
// parent's connection; a restarted pcscd must not hang or spoil the module.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "p11_client.h"

namespace vela::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNewPin = "654321";

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// Commands the card has received so far (its trace's command lines).
int Apdus() {
  std::ifstream trace(Environment("VELA_CARD_STATE") + "/trace.txt");
  int count = 0;
  for (std::string line; std::getline(trace, line);) count += !line.empty() && line[0] == '>';
  return count;
}

bool NeitherPinVerified(const std::string& states) {
  return states.size() == 9 && states.find("9000") == std::string::npos && states.rfind("63", 0) == 0;
}

class SharedDesktop : public ::testing::Test {
 protected:
  void SetUp() override {
    p11_ = LoadModule();
    ASSERT_NE(p11_, nullptr) << "cannot load " << Environment("VELA_P11_MODULE");
  }
  void TearDown() override {
    if (initialised_) {
      EXPECT_EQ(p11_->C_Finalize(nullptr), CKR_OK);
    }
  }

  // This process initialises the module, opens a session and logs in.
  void StartLoggedIn() {
    ASSERT_EQ(p11_->C_Initialize(nullptr), CKR_OK);
    initialised_ = true;
    slot_ = program_.FindToken();
    ASSERT_NE(slot_, CK_UNAVAILABLE_INFORMATION);
    session_ = program_.Open(slot_);
    ASSERT_EQ(program_.Login(session_), CKR_OK);
    key_ = program_.Key(session_, CKO_PRIVATE_KEY, 0);
    publicKey_ = program_.PublicKey(session_, 0);
    ASSERT_TRUE(publicKey_);
  }
  // A signature of this process, checked by OpenSSL.
  CK_RV SignAndCheck(const std::string& text) {
    Bytes signature;
    const CK_RV rv = program_.Sign(session_, key_, Text(text), &signature);
    if (rv == CKR_OK) {
      EXPECT_TRUE(ReferenceEcdsaVerify(publicKey_.get(), ReferenceDigest("SHA256", Text(text)), signature));
    }
    return rv;
  }
  CK_STATE SessionState() {
    CK_SESSION_INFO info{};
    EXPECT_EQ(p11_->C_GetSessionInfo(session_, &info), CKR_OK);
    return info.state;
  }

  CK_FUNCTION_LIST* p11_ = nullptr;
  CardProgram program_{LoadModule()};
  bool initialised_ = false;
  CK_SLOT_ID slot_ = CK_UNAVAILABLE_INFORMATION;
  CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
  Pkey publicKey_;
};

struct Outcome {
  int failures = 0;
  int signatures = 0;
  double seconds = 0;
};

// `programs` processes sign `each` times at once, all starting together;
// with `logOutMidway` each logs out and in again halfway, with `askLength`
// each signature's length is asked first. A program's exit status is the
// number of its signatures that failed or did not verify.
Outcome SignTogether(int programs, int each, bool logOutMidway, bool askLength = false) {
  int gate[2];
  if (pipe(gate) != 0) return {programs, 0, 0};
  std::vector<pid_t> children;
  for (int p = 0; p < programs; ++p) {
    children.push_back(Spawn([&, p] {
      close(gate[1]);
      CK_FUNCTION_LIST* p11 = LoadModule();
      CardProgram program(p11);
      if (p11->C_Initialize(nullptr) != CKR_OK) return 100;
      const CK_SLOT_ID slot = program.FindToken();
      if (slot == CK_UNAVAILABLE_INFORMATION) return 101;
      const CK_SESSION_HANDLE session = program.Open(slot);
      if (program.Login(session) != CKR_OK) return 102;
      const CK_OBJECT_HANDLE key = program.Key(session, CKO_PRIVATE_KEY, 0);
      const Pkey publicKey = program.PublicKey(session, 0);
      // Until the parent closes the gate's other end: then all start.
      char go = 0;
      if (read(gate[0], &go, 1) < 0) return 103;
      int failures = 0;
      for (int i = 0; i < each; ++i) {
        if (logOutMidway && i == each / 2) {
          if (p11->C_Logout(session) != CKR_OK || program.Login(session) != CKR_OK) ++failures;
        }
        const std::string text = "program " + std::to_string(p) + " signature " + std::to_string(i);
        Bytes signature;
        const CK_RV rv = program.Sign(session, key, Text(text), &signature, askLength);
        if (rv != CKR_OK || !ReferenceEcdsaVerify(publicKey.get(), ReferenceDigest("SHA256", Text(text)), signature)) {
          std::fprintf(stderr, "program %d, signature %d: 0x%lx\n", p, i, static_cast<unsigned long>(rv));
          ++failures;
        }
      }
      p11->C_Finalize(nullptr);
      return failures;
    }));
  }
  close(gate[0]);
  // Every program has loaded the module and logged in before the gate opens.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Clock::time_point start = Clock::now();
  close(gate[1]);
  Outcome run;
  for (const pid_t child : children) {
    const int status = Wait(child);
    run.failures += status;
    if (status != 0) std::fprintf(stderr, "a program ended with status %d\n", status);
  }
  run.seconds = Seconds(Clock::now() - start);
  run.signatures = programs * each;
  return run;
}

TEST_F(SharedDesktop, ProgramsSignAtOnceWhileEachLogsOutAndInAgain) {
  const Outcome run = SignTogether(4, 16, true);
  EXPECT_EQ(run.failures, 0) << "every logout resets the card; every other program must go on";
}

// Each signature in two calls, its length asked first (as PyKCS11 signs):
// the two are one operation whatever other programs do to the card between
// them. Run several times, as a fault shows in some runs only.
TEST_F(SharedDesktop, ProgramsAskingTheLengthSignWhileEachLogsOutAndInAgain) {
  for (int run = 0; run < 5; ++run) {
    EXPECT_EQ(SignTogether(4, 25, true, true).failures, 0) << "run " << run;
  }
}

// Not a check of speed (tests never are): the figures are printed for the
// record. Every signature must verify.
TEST_F(SharedDesktop, SignaturesPerSecondOfOneTwoAndFourPrograms) {
  for (const int programs : {1, 2, 4}) {
    const Outcome run = SignTogether(programs, 40, false);
    EXPECT_EQ(run.failures, 0) << programs << " programs";
    std::printf("measured: %d program(s) together: %d signatures in %.3f s, %.0f signatures/s\n", programs,
                run.signatures, run.seconds, run.signatures / run.seconds);
  }
}

TEST_F(SharedDesktop, LoginOutlivesAnotherProgramsLogout) {
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  int before = Apdus();
  Clock::time_point start = Clock::now();
  ASSERT_EQ(SignAndCheck("before"), CKR_OK);
  const int plainApdus = Apdus() - before;
  const double plainSeconds = Seconds(Clock::now() - start);

  // Another program (a child that starts the module afresh) logs in and
  // out: its logout resets the card.
  const pid_t other = Spawn([] {
    CK_FUNCTION_LIST* p11 = LoadModule();
    CardProgram program(p11);
    if (p11->C_Initialize(nullptr) != CKR_OK) return 1;
    const CK_SESSION_HANDLE session = program.Open(program.FindToken());
    const bool ok = program.Login(session) == CKR_OK && p11->C_Logout(session) == CKR_OK;
    p11->C_Finalize(nullptr);
    return ok ? 0 : 2;
  });
  ASSERT_EQ(Wait(other), 0);
  EXPECT_TRUE(NeitherPinVerified(PinStates())) << "the other program's logout left a PIN verified";

  before = Apdus();
  start = Clock::now();
  EXPECT_EQ(SignAndCheck("after"), CKR_OK);
  const int recoveryApdus = Apdus() - before;
  const double recoverySeconds = Seconds(Clock::now() - start);
  EXPECT_EQ(SessionState(), CKS_RO_USER_FUNCTIONS);
  std::printf("measured: a signature takes %d commands and %.1f ms; after another program's reset %d commands "
              "and %.1f ms\n",
              plainApdus, plainSeconds * 1000, recoveryApdus, recoverySeconds * 1000);
}

TEST_F(SharedDesktop, ForkedChildThatOnlyExitsLeavesTheParentAlone) {
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  ASSERT_EQ(SignAndCheck("before the fork"), CKR_OK);
  // As after a failed exec: the child runs the exit handlers and nothing else.
  ASSERT_EQ(Wait(Spawn([] { return 0; })), 0);
  EXPECT_EQ(SessionState(), CKS_RO_USER_FUNCTIONS);
  EXPECT_EQ(SignAndCheck("after the child's exit"), CKR_OK);
}

// However a program ends its work, another program finds no PIN verified.
TEST_F(SharedDesktop, NoProgramLeavesAPinVerified) {
  struct Case {
    const char* name;
    std::function<int()> program;
  };
  const auto start = [](CK_FUNCTION_LIST* p11, CardProgram& program, bool readWrite) {
    if (p11->C_Initialize(nullptr) != CKR_OK) return CK_SESSION_HANDLE{CK_INVALID_HANDLE};
    return program.Open(program.FindToken(), readWrite);
  };
  const Case cases[] = {
      {"a user login, then exit() without C_Finalize",
       [&] {
         CK_FUNCTION_LIST* p11 = LoadModule();
         CardProgram program(p11);
         const CK_SESSION_HANDLE session = start(p11, program, false);
         Bytes signature;
         const bool ok = program.Login(session) == CKR_OK &&
                         program.Sign(session, program.Key(session, CKO_PRIVATE_KEY, 0), Text("x"), &signature) ==
                             CKR_OK;
         return ok ? 0 : 1;
       }},
      {"the SO's login, then exit() without C_Finalize",
       [&] {
         CK_FUNCTION_LIST* p11 = LoadModule();
         CardProgram program(p11);
         const CK_SESSION_HANDLE session = start(p11, program, true);
         std::string code = "12345678";
         return p11->C_Login(session, CKU_SO, reinterpret_cast<CK_UTF8CHAR*>(code.data()), code.size()) == CKR_OK
                    ? 0
                    : 1;
       }},
      {"a logout, the program still running",
       [&] {
         CK_FUNCTION_LIST* p11 = LoadModule();
         CardProgram program(p11);
         const CK_SESSION_HANDLE session = start(p11, program, false);
         if (program.Login(session) != CKR_OK || p11->C_Logout(session) != CKR_OK) return 1;
         // Asked while this program still holds its session and connection.
         return NeitherPinVerified(PinStates()) ? 0 : 3;
       }},
      {"C_SetPIN in a public read-write session, then the session closed",
       [&] {
         CK_FUNCTION_LIST* p11 = LoadModule();
         CardProgram program(p11);
         const CK_SESSION_HANDLE session = start(p11, program, true);
         std::string oldPin = "123456", newPin = kNewPin;
         if (p11->C_SetPIN(session, reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size(),
                           reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size()) != CKR_OK) {
           return 1;
         }
         p11->C_CloseSession(session);
         const bool forgotten = NeitherPinVerified(PinStates());
         // The PIN back as the other tests know it.
         const CK_SESSION_HANDLE again = program.Open(program.FindToken(), true);
         const CK_RV back = p11->C_SetPIN(again, reinterpret_cast<CK_UTF8CHAR*>(newPin.data()), newPin.size(),
                                          reinterpret_cast<CK_UTF8CHAR*>(oldPin.data()), oldPin.size());
         p11->C_Finalize(nullptr);
         return back != CKR_OK ? 2 : forgotten ? 0 : 3;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Wait(Spawn(c.program)), 0);
    const std::string states = PinStates();
    EXPECT_TRUE(NeitherPinVerified(states)) << "user PIN and unblocking code: " << states;
  }
}

// pcscd stopped and started again under a live module: the calls fail (and
// return), and the same loaded module finds the card again.
TEST_F(SharedDesktop, PcscdRestartedUnderALiveModule) {
  const std::string restart = Environment("VELA_RESTART_PCSCD");
  ASSERT_FALSE(restart.empty()) << "VELA_RESTART_PCSCD says how to restart pcscd";
  ASSERT_NO_FATAL_FAILURE(StartLoggedIn());
  ASSERT_EQ(SignAndCheck("before"), CKR_OK);
  ASSERT_EQ(std::system(restart.c_str()), 0);

  Bytes signature;
  const CK_RV lost = program_.Sign(session_, key_, Text("while pcscd was away"), &signature);
  EXPECT_TRUE(lost == CKR_DEVICE_REMOVED || lost == CKR_SESSION_HANDLE_INVALID || lost == CKR_DEVICE_ERROR) << lost;
  const CK_SLOT_ID slot = program_.WaitForToken(10);
  ASSERT_NE(slot, CK_UNAVAILABLE_INFORMATION) << "the module does not find the card again";
  session_ = program_.Open(slot);
  ASSERT_EQ(program_.Login(session_), CKR_OK);
  key_ = program_.Key(session_, CKO_PRIVATE_KEY, 0);
  EXPECT_EQ(SignAndCheck("after"), CKR_OK);
}

}  // namespace
}  // namespace vela::test
