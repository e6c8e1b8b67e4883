#include "core/secure_wipe.h"

namespace vela {

void SecureWipe(void* data, std::size_t length) {
  if (data == nullptr) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (length-- > 0) *p++ = 0;
}

}  // namespace vela
