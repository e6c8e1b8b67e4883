#include "pkcs11/card_proof.h"

#include <algorithm>

#include "card/profile_table.h"
#include "pkcs11/der.h"

namespace vela::pkcs11 {
namespace {

constexpr std::uint16_t kStatusOk = 0x9000;
// READ BINARY's offset without a short file identifier: 15 bits.
constexpr std::size_t kMaxOffset = 0x7FFF;

std::uint8_t High(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t Low(std::uint16_t value) { return static_cast<std::uint8_t>(value); }

// The answer's data when it ends in 90 00.
bool Exchange(CardLink& link, const Bytes& command, Bytes* data) {
  Bytes answer;
  if (link.Transmit(command, &answer) != 0 || answer.size() < 2) return false;
  const std::uint16_t status = static_cast<std::uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
  answer.resize(answer.size() - 2);
  *data = std::move(answer);
  return status == kStatusOk;
}

}  // namespace

bool CertificateUnchanged(CardLink& link, const ContainerData& cached) {
  if (cached.index < 0 || static_cast<std::size_t>(cached.index) >= vela::kProfileTable.size()) return false;
  CertificateFields fields;
  if (cached.certificateFile.empty() || !ParseCertificate(cached.certificateFile, &fields)) return false;
  const std::size_t length = fields.certificate.size();
  const std::size_t tail = std::min(kProofBytes, length);
  const std::size_t offset = length - tail;
  if (offset > kMaxOffset) return false;

  const vela::ProfileEntry& entry = vela::kProfileTable[static_cast<std::size_t>(cached.index)];
  // SELECT by path from the master file, as the minidriver selects it.
  const Bytes select = {0x00, 0xA4, 0x08, 0x0C, 0x04, High(entry.dfId), Low(entry.dfId), High(entry.certFileId),
                        Low(entry.certFileId)};
  const Bytes read = {0x00, 0xB0, High(static_cast<std::uint16_t>(offset)), Low(static_cast<std::uint16_t>(offset)),
                      static_cast<std::uint8_t>(tail)};
  Bytes data;
  return Exchange(link, select, &data) && Exchange(link, read, &data) && data.size() == tail &&
         std::equal(data.begin(), data.end(), fields.certificate.end() - static_cast<std::ptrdiff_t>(tail));
}

}  // namespace vela::pkcs11
