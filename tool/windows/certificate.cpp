// Certificates read with crypt32, Windows' own X.509 parser.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tool/certificate.h"

namespace vela::tool {

namespace {

using host::HexBytes;
using host::Value;

// Most specific part first, as RFC 2253 writes a name.
std::string NameText(const CERT_NAME_BLOB* name) {
  const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  CERT_NAME_BLOB copy = *name;
  const DWORD length = CertNameToStrA(X509_ASN_ENCODING, &copy, flags, nullptr, 0);
  if (length <= 1) return "";
  std::string text(length, '\0');
  CertNameToStrA(X509_ASN_ENCODING, &copy, flags, text.data(), length);
  text.resize(length - 1);
  return text;
}

Value TimeText(const FILETIME& time) {
  SYSTEMTIME t{};
  if (!FileTimeToSystemTime(&time, &t)) return Value();
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return std::string(text);
}

// The serial number is kept least significant byte first; shown as a number.
Value SerialText(const CRYPT_INTEGER_BLOB& serial) {
  std::vector<std::uint8_t> bigEndian(serial.pbData, serial.pbData + serial.cbData);
  std::reverse(bigEndian.begin(), bigEndian.end());
  std::string hex = HexBytes(bigEndian.data(), bigEndian.size(), "");
  const std::size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? std::string("0") : hex.substr(first);
}

}  // namespace

void DescribeCertificateDer(const std::vector<std::uint8_t>& der, Value& out, std::vector<std::uint8_t>* point) {
  PCCERT_CONTEXT certificate =
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (certificate == nullptr) {
    out.Set("error", "not a DER X.509 certificate");
    return;
  }
  const CERT_INFO* info = certificate->pCertInfo;
  out.Set("subject", NameText(&info->Subject));
  out.Set("issuer", NameText(&info->Issuer));
  out.Set("serialNumber", SerialText(info->SerialNumber));
  out.Set("notBefore", TimeText(info->NotBefore));
  out.Set("notAfter", TimeText(info->NotAfter));
  // For an EC key the subject key's bits are the encoded point, 04 X Y.
  const CRYPT_BIT_BLOB& key = info->SubjectPublicKeyInfo.PublicKey;
  point->assign(key.pbData, key.pbData + key.cbData);
  if (point->empty() || (*point)[0] != 0x04) point->clear();
  out.Set("publicKey", point->empty() ? Value() : Value(HexBytes(point->data(), point->size(), "")));
  CertFreeCertificateContext(certificate);
}

}  // namespace vela::tool
