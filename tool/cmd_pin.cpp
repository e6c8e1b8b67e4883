// verify-pin, change-pin and unblock-pin: the user PIN through the module.
#include <cstdio>
#include <iostream>

#include "core/secure_wipe.h"
#include "host/result_names.h"
#include "tool/console.h"
#include "tool/pin_entry.h"

namespace vela::tool {

Secret::~Secret() { SecureWipe(bytes_.data(), bytes_.size()); }

Secret& Secret::operator=(Secret&& other) noexcept {
  SecureWipe(bytes_.data(), bytes_.size());
  bytes_ = std::move(other.bytes_);
  return *this;
}

namespace {

std::string Attempts(DWORD count) { return std::to_string(count) + (count == 1 ? " attempt left" : " attempts left"); }

}  // namespace

bool ReadSecret(std::optional<std::string> given, std::string_view option, const char* prompt, Secret* secret,
                std::string* error) {
  if (!given) {
    given.emplace();
    if (!ReadHiddenLine(prompt, &*given)) {
      SecureWipe(given->data(), given->size());
      *error = "no PIN given (use --" + std::string(option) + " or type it at the prompt)";
      return false;
    }
  }
  *secret = Secret(*given);
  SecureWipe(given->data(), given->size());
  if (secret->empty()) *error = "empty PIN given for --" + std::string(option);
  return !secret->empty();
}

int FailRefusal(Session& session, const std::string& what, DWORD code, DWORD attempts) {
  const bool known = attempts != kAttemptsUnknown;
  if (known) session.report().Set("attemptsRemaining", attempts);
  std::string message;
  switch (code) {
    case SCARD_W_WRONG_CHV:
      message = known ? "wrong PIN: " + Attempts(attempts) : "wrong PIN";
      break;
    case SCARD_W_CHV_BLOCKED:
      message = "PIN blocked: 0 attempts left; unblock it with unblock-pin";
      break;
    case SCARD_W_SECURITY_VIOLATION:
      message = "no PIN verified: the card signs only after the user PIN was verified";
      break;
    default:
      return session.Fail(what + " failed: " + host::ResultText(code));
  }
  return session.Fail(message + " (" + host::ResultText(code) + ")");
}

DWORD VerifyPin(Session& session, Secret& pin, bool admin) {
  CARD_DATA* card = session.card();
  std::u16string user = admin ? u"admin" : u"user";
  DWORD attempts = kAttemptsUnknown;
  const DWORD rc = session.Answer(admin ? "CardAuthenticatePin admin" : "CardAuthenticatePin user",
                                  card->pfnCardAuthenticatePin(card, user.data(), pin.data(), pin.size(), &attempts));
  if (rc != 0) FailRefusal(session, "PIN verification", rc, attempts);
  return rc;
}

namespace {

int UsageError(Args& args, Session& session, const char* usage) {
  session.Fail(args.error().empty() ? usage : args.error());
  return kExitUsage;
}

int VerifyPinCommand(Args& args, Session& session) {
  const bool admin = args.Flag("admin");
  std::optional<std::string> given = args.Option("pin");
  if (!args.Positional().empty() || !args.error().empty()) {
    return UsageError(args, session, "usage: verify-pin [--admin] [--pin PIN]");
  }
  Secret pin;
  std::string error;
  if (!ReadSecret(std::move(given), "pin", admin ? "Administrator PIN: " : "PIN: ", &pin, &error)) {
    return session.Fail(error);
  }
  session.report().Set("pin", admin ? "admin" : "user");
  if (VerifyPin(session, pin, admin) != 0) return kExitFailure;
  session.report().Set("verified", true);
  return kExitOk;
}

// change-pin and unblock-pin: the secret that authorises the change (from
// --`option` or a prompt), then the new PIN (from --new-pin, or typed twice).
// Returns kExitOk, or the exit status of the failure it reported.
int ReadOldAndNewPin(Args& args, Session& session, std::string_view option, const char* prompt, const char* usage,
                     Secret* old, Secret* next) {
  std::optional<std::string> oldGiven = args.Option(option);
  std::optional<std::string> newGiven = args.Option("new-pin");
  if (!args.Positional().empty() || !args.error().empty()) return UsageError(args, session, usage);
  std::string error;
  if (!ReadSecret(std::move(oldGiven), option, prompt, old, &error)) return session.Fail(error);
  if (newGiven) return ReadSecret(std::move(newGiven), "new-pin", "", next, &error) ? kExitOk : session.Fail(error);
  Secret again;
  if (!ReadSecret(std::nullopt, "new-pin", "New PIN: ", next, &error) ||
      !ReadSecret(std::nullopt, "new-pin", "New PIN again: ", &again, &error)) {
    return session.Fail(error);
  }
  return *next == again ? kExitOk : session.Fail("the two new PINs differ");
}

int ChangePinCommand(Args& args, Session& session) {
  Secret current, next;
  if (const int status = ReadOldAndNewPin(args, session, "pin", "Current PIN: ",
                                          "usage: change-pin [--pin PIN] [--new-pin NEW]", &current, &next);
      status != kExitOk) {
    return status;
  }
  CARD_DATA* card = session.card();
  std::u16string user = u"user";
  DWORD attempts = kAttemptsUnknown;
  const DWORD rc = session.Answer(
      "CardChangeAuthenticator user",
      card->pfnCardChangeAuthenticator(card, user.data(), current.data(), current.size(), next.data(), next.size(), 0,
                                       CARD_AUTHENTICATE_PIN_PIN, &attempts));
  if (rc != 0) return FailRefusal(session, "PIN change", rc, attempts);
  session.report().Set("changed", true);
  return kExitOk;
}

int UnblockPinCommand(Args& args, Session& session) {
  Secret code, next;
  if (const int status = ReadOldAndNewPin(args, session, "unblock-code", "Unblocking code: ",
                                          "usage: unblock-pin [--unblock-code CODE] [--new-pin NEW]", &code, &next);
      status != kExitOk) {
    return status;
  }
  CARD_DATA* card = session.card();
  std::u16string admin = u"admin";
  const DWORD rc = session.Answer("CardUnblockPin admin",
                                  card->pfnCardUnblockPin(card, admin.data(), code.data(), code.size(), next.data(),
                                                          next.size(), 0, 0));
  // The card reports no attempt count for the unblocking code.
  if (rc == SCARD_W_WRONG_CHV) return session.Fail("wrong unblocking code (" + host::ResultText(rc) + ")");
  if (rc == SCARD_W_CHV_BLOCKED) {
    return session.Fail("unblocking code blocked: 0 attempts left (" + host::ResultText(rc) + ")");
  }
  if (rc != 0) return session.Fail("unblock failed: " + host::ResultText(rc));
  session.report().Set("unblocked", true);
  return kExitOk;
}

const RegisterCommand kVerifyPin{
    {"verify-pin", "[--admin] [--pin PIN]", "verifies the user PIN (or the administrator PIN)", VerifyPinCommand}};
const RegisterCommand kChangePin{
    {"change-pin", "[--pin PIN] [--new-pin NEW]", "changes the user PIN", ChangePinCommand}};
const RegisterCommand kUnblockPin{{"unblock-pin", "[--unblock-code CODE] [--new-pin NEW]",
                                   "sets a new user PIN with the unblocking code", UnblockPinCommand}};

}  // namespace
}  // namespace vela::tool
