#include "crypto/digest.h"

#include "core/secure_wipe.h"

namespace vela {

int ShaReset(ShaFamilyContext* context, int whichSha) {
  if (context == nullptr) return kShaNull;
  context->whichSha = whichSha;
  switch (whichSha) {
    case kSha1: return Sha1Reset(&context->ctx.sha1);
    case kSha224: return Sha224Reset(&context->ctx.sha256);
    case kSha256: return Sha256Reset(&context->ctx.sha256);
    case kSha384: return Sha384Reset(&context->ctx.sha512);
    case kSha512: return Sha512Reset(&context->ctx.sha512);
    default: return kShaBadParam;
  }
}

int ShaInput(ShaFamilyContext* context, const std::uint8_t* data, std::size_t length) {
  if (length == 0) return kShaSuccess;
  if (context == nullptr) return kShaNull;
  switch (context->whichSha) {
    case kSha1: return Sha1Input(&context->ctx.sha1, data, length);
    case kSha224:
    case kSha256: return Sha256Input(&context->ctx.sha256, data, length);
    case kSha384:
    case kSha512: return Sha512Input(&context->ctx.sha512, data, length);
    default: return kShaBadParam;
  }
}

int ShaResult(ShaFamilyContext* context, std::uint8_t* digest) {
  if (context == nullptr) return kShaNull;
  switch (context->whichSha) {
    case kSha1: return Sha1Result(&context->ctx.sha1, digest);
    case kSha224: return Sha224Result(&context->ctx.sha256, digest);
    case kSha256: return Sha256Result(&context->ctx.sha256, digest);
    case kSha384: return Sha384Result(&context->ctx.sha512, digest);
    case kSha512: return Sha512Result(&context->ctx.sha512, digest);
    default: return kShaBadParam;
  }
}

int ShaBlockSize(int whichSha) { return whichSha >= kSha1 && whichSha <= kSha256 ? 64 : 128; }

int ShaHashSize(int whichSha) {
  switch (whichSha) {
    case kSha1: return 20;
    case kSha224: return 28;
    case kSha256: return 32;
    case kSha384: return 48;
    default: return 64;
  }
}

int ShaHash(int whichSha, const std::uint8_t* data, std::size_t length, std::uint8_t* digest) {
  ShaFamilyContext context;
  int rc = ShaReset(&context, whichSha);
  if (rc == kShaSuccess) rc = ShaInput(&context, data, length);
  if (rc == kShaSuccess) rc = ShaResult(&context, digest);
  SecureWipe(&context, sizeof(context));
  return rc;
}

}  // namespace vela
