// The card's own commands this module sends for its cache: the card's serial
// number, which finds the cache's file before the minidriver is acquired,
// and the identity of each cached certificate. The minidriver has no partial
// read, and reads the public key with a certificate, which the certificate
// already holds. The files are those of the card's fixed profile table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "pkcs11/objects.h"
#include "pkcs11/reader_port.h"

namespace vela::pkcs11 {

// How many of a certificate's last bytes prove it: the end of its issuer's
// signature.
inline constexpr std::size_t kProofBytes = 16;

// What a cached container is served as, before any card read: its
// certificate alone (without bytes the file held after it) and the public
// key inside that certificate. Nothing when the container has no cached
// certificate (a certificate may have been added since), the certificate
// does not parse, its key is not a P-256 point on the curve, or the cached
// key is another.
std::optional<ContainerData> CachedContainerShape(const ContainerData& cached);

// The card's ten-byte serial number, read as the minidriver reads it: SELECT
// of 2F02 under the master file, READ BINARY of ten bytes at offset 2. False
// on any refusal, a short answer or a number of zeros (no card carries it).
bool ReadCardSerial(CardLink& link, std::array<std::uint8_t, 10>* serial);

// Whether the card's certificate file of the container holds `certificate`:
// SELECT of the file, then one READ BINARY of the kProofBytes where the
// certificate ends. They end the issuer's signature, which covers
// everything the issuer signed (serial number, issuer, validity, subject,
// key, extensions) and is made with the issuer's key: a certificate renewed
// with the same keys or new ones, one of another CA with the same serial
// number, another card's, one moved from another container or one of
// another length reads otherwise there, or not at all. The bytes before
// them are the cache file's, whose digest catches damage. False on any
// refusal.
bool CardHoldsCertificate(CardLink& link, int index, std::span<const std::uint8_t> certificate);

}  // namespace vela::pkcs11
