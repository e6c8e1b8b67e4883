// A library built without the protections: the hardening check must refuse
// it, so that it is seen to look for what it claims to.
#include <cstring>

extern "C" int VelaUnhardenedProbe(const char* text) {
  char copy[64];
  std::strncpy(copy, text, sizeof copy - 1);
  copy[sizeof copy - 1] = '\0';
  return copy[0];
}
