#include "pkcs11/pin_status.h"

#include "core/minidriver_abi.h"

namespace vela::pkcs11 {
namespace {

// The user PIN's reference: global (bit 8 clear), so the question needs no
// application selected first.
constexpr std::uint8_t kUserPinReference = 0x03;

}  // namespace

PinStatus ReadUserPinStatus(CardLink& link) {
  std::vector<std::uint8_t> answer;
  PinStatus status;
  if (link.Transmit({0x00, 0x20, 0x00, kUserPinReference}, &answer) != 0 || answer.size() != 2) return status;
  const unsigned word = static_cast<unsigned>(answer[0] << 8 | answer[1]);
  if (word == 0x9000) {
    status.answered = status.verified = true;
  } else if ((word & 0xFFF0) == 0x63C0) {
    status.answered = true;
    status.tries = static_cast<int>(word & 0x0F);
  } else if (word == 0x6983) {
    status.answered = true;
  }
  return status;
}

bool UserPinVerified(CardLink& link) {
  std::uint32_t rc = link.BeginTransaction();
  if (rc == SCARD_W_RESET_CARD && link.Reconnect() == 0) rc = link.BeginTransaction();
  if (rc != 0) return false;
  const bool verified = ReadUserPinStatus(link).verified;
  link.EndTransaction();
  return verified;
}

}  // namespace vela::pkcs11
