// What applications hand the PKCS#11 module: templates, mechanism parameters,
// PINs and buffer lengths from the fuzzer, over the in-process emulated card.
#include "roads.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vela::fuzz::ByteInput input({data, size});
  vela::fuzz::DrivePkcs11Road(input);
  return 0;
}
