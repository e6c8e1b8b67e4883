#include "pkcs11/card_proof.h"

#include <algorithm>

#include "card/profile_table.h"
#include "pkcs11/der.h"
#include "pkcs11/ec_point.h"

namespace vela::pkcs11 {
namespace {

constexpr std::uint16_t kStatusOk = 0x9000;
// READ BINARY's offset without a short file identifier: 15 bits.
constexpr std::size_t kMaxOffset = 0x7FFF;
// The serial number's file under the master file: two header bytes, then the number.
constexpr std::uint16_t kSerialFileId = 0x2F02;
constexpr std::uint8_t kSerialOffset = 2;

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

// Exactly `length` bytes of the selected file from `offset`.
bool ReadExactly(CardLink& link, std::size_t offset, std::size_t length, Bytes* data) {
  const Bytes read = {0x00, 0xB0, High(static_cast<std::uint16_t>(offset)), Low(static_cast<std::uint16_t>(offset)),
                      static_cast<std::uint8_t>(length)};
  return Exchange(link, read, data) && data->size() == length;
}

}  // namespace

std::optional<ContainerData> CachedContainerShape(const ContainerData& cached) {
  if (cached.index < 0 || static_cast<std::size_t>(cached.index) >= vela::kProfileTable.size()) return std::nullopt;
  CertificateFields fields;
  if (cached.certificateFile.empty() || !ParseCertificate(cached.certificateFile, &fields)) return std::nullopt;
  ContainerData shape;
  shape.index = cached.index;
  shape.signature = cached.signature;
  if (!P256PointOfKeyInfo(fields.subjectPublicKeyInfo, &shape.point) || !IsP256Point(shape.point) ||
      shape.point != cached.point) {
    return std::nullopt;
  }
  shape.certificateFile = std::move(fields.certificate);
  return shape;
}

bool ReadCardSerial(CardLink& link, std::array<std::uint8_t, 10>* serial) {
  // SELECT by path from the master file, as the minidriver selects it.
  const Bytes select = {0x00, 0xA4, 0x08, 0x0C, 0x02, High(kSerialFileId), Low(kSerialFileId)};
  Bytes data;
  if (!Exchange(link, select, &data) || !ReadExactly(link, kSerialOffset, serial->size(), &data)) return false;
  if (std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; })) return false;
  std::copy(data.begin(), data.end(), serial->begin());
  return true;
}

bool CardHoldsCertificate(CardLink& link, int index, std::span<const std::uint8_t> certificate) {
  if (index < 0 || static_cast<std::size_t>(index) >= vela::kProfileTable.size() || certificate.empty() ||
      certificate.size() > kMaxOffset) {
    return false;
  }
  const vela::ProfileEntry& entry = vela::kProfileTable[static_cast<std::size_t>(index)];
  const Bytes select = {0x00, 0xA4, 0x08, 0x0C, 0x04, High(entry.dfId), Low(entry.dfId), High(entry.certFileId),
                        Low(entry.certFileId)};
  const std::size_t length = std::min(kProofBytes, certificate.size());
  const std::size_t offset = certificate.size() - length;
  Bytes data;
  return Exchange(link, select, &data) && ReadExactly(link, offset, length, &data) &&
         std::equal(data.begin(), data.end(), certificate.end() - static_cast<std::ptrdiff_t>(length));
}

}  // namespace vela::pkcs11
