// Runs a test once on each SHA path of the module: the portable code, the
// SHA extensions (SHA-1, SHA-256) and AVX2 (SHA-384/512). A path this build
// or processor lacks is skipped, and the processor's own choice is restored
// afterwards.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "crypto/sha_paths.h"

namespace vela::test {

struct NamedShaPaths {
  const char* name;
  ShaPaths paths;
};

inline const NamedShaPaths kEveryShaPath[] = {
    {"Portable", ShaPaths{}},
    {"ShaExtensions", ShaPaths{ShaPath::kShaExtensions, ShaPath::kShaExtensions, ShaPath::kPortable}},
    {"Avx2", ShaPaths{ShaPath::kPortable, ShaPath::kPortable, ShaPath::kAvx2}},
};

class OnEveryShaPath : public ::testing::TestWithParam<NamedShaPaths> {
 protected:
  void SetUp() override {
    if (!ForceShaPaths(GetParam().paths)) {
      GTEST_SKIP() << "this build or processor has no " << GetParam().name << " path";
    }
  }
  void TearDown() override { UseDetectedShaPaths(); }
};

inline void PrintTo(const NamedShaPaths& paths, std::ostream* out) { *out << paths.name; }

inline std::string ShaPathsName(const ::testing::TestParamInfo<NamedShaPaths>& info) { return info.param.name; }

}  // namespace vela::test
