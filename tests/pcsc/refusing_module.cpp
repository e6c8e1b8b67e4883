// A module that refuses every card as the real one refuses a foreign card:
// the tool's refusal path on a real reader.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) std::uint32_t CardAcquireContext(void*, std::uint32_t) {
  return 0x8010000D;  // SCARD_E_UNKNOWN_CARD
}
