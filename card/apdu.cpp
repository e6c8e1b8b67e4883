#include "card/apdu.h"

#include "card/transport.h"
#include "core/secure_wipe.h"

namespace vela {

CommandApdu::CommandApdu(BYTE ins, BYTE p1, BYTE p2) {
  buffer_[0] = 0x00;
  buffer_[1] = ins;
  buffer_[2] = p1;
  buffer_[3] = p2;
}

CommandApdu::~CommandApdu() { SecureWipe(buffer_.data(), buffer_.size()); }

CommandApdu& CommandApdu::Data(std::span<const BYTE> bytes) {
  // Header (4), Lc (1) and data must fit the buffer; data after Le would
  // split the APDU, which is a caller's mistake.
  if (!valid_ || hasLe_ || dataLength_ + bytes.size() > 255 || 5 + dataLength_ + bytes.size() > kCapacity) {
    valid_ = false;
    return *this;
  }
  for (BYTE b : bytes) buffer_[5 + dataLength_++] = b;
  if (dataLength_ > 0) buffer_[4] = static_cast<BYTE>(dataLength_);
  return *this;
}

CommandApdu& CommandApdu::Data(std::initializer_list<BYTE> bytes) {
  return Data(std::span<const BYTE>(bytes.begin(), bytes.size()));
}

CommandApdu& CommandApdu::Le(BYTE le) {
  if (hasLe_ || HeaderAndDataLength() + 1 > kCapacity) {
    valid_ = false;
    return *this;
  }
  hasLe_ = true;
  buffer_[HeaderAndDataLength()] = le;
  return *this;
}

std::size_t CommandApdu::HeaderAndDataLength() const { return dataLength_ > 0 ? 5 + dataLength_ : 4; }

std::span<const BYTE> CommandApdu::bytes() const {
  return {buffer_.data(), HeaderAndDataLength() + (hasLe_ ? 1 : 0)};
}

ResponseApdu::~ResponseApdu() { Release(); }

void ResponseApdu::Release() {
  FreeResponseCopy(copy_, length_);
  copy_ = nullptr;
  length_ = 0;
  status_ = 0;
}

DWORD ResponseApdu::Exchange(const CARD_DATA* cardData, const CommandApdu& command) {
  Release();
  if (!command.valid()) return SCARD_E_INVALID_PARAMETER;
  const std::span<const BYTE> apdu = command.bytes();
  WORD status = 0;
  const DWORD rc =
      TransmitApdu(cardData, apdu.data(), static_cast<DWORD>(apdu.size()), &copy_, &length_, &status);
  if (rc != 0) {
    copy_ = nullptr;
    length_ = 0;
    return rc;
  }
  status_ = status;
  return 0;
}

std::span<const BYTE> ResponseApdu::data() const {
  if (length_ < 2) return {};
  return {copy_, length_ - 2};
}

}  // namespace vela
