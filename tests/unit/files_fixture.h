// A host with an acquired context on a scripted card, for the file and
// container entries.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/card_context.h"
#include "core/entry_points.h"
#include "fake_card.h"
#include "test_host.h"

namespace vela::test {

// A block the module handed to the host, freed when the test is done with it.
struct HostBlock {
  BYTE* data = reinterpret_cast<BYTE*>(0x1);  // a sentinel: "never written"
  DWORD size = 0xDEAD;
  HostBlock() = default;
  HostBlock(const HostBlock&) = delete;
  HostBlock& operator=(const HostBlock&) = delete;
  ~HostBlock() {
    if (data != reinterpret_cast<BYTE*>(0x1)) HostRelease(data);
  }
  bool untouched() const { return data == reinterpret_cast<BYTE*>(0x1) && size == 0xDEAD; }
  std::vector<BYTE> bytes() const { return data == nullptr ? std::vector<BYTE>{} : std::vector<BYTE>(data, data + size); }
};

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore_ = HostHeap::Live(); }
  void TearDown() override {
    if (host_->pvVendorSpecific != nullptr) card_.ExpectSelectApplication();  // the delete's
    host_.Release();
    HostHeap::FailAllocations(0, 0);
    EXPECT_EQ(HostHeap::Live(), liveBefore_) << "host blocks left over";
  }

  void Acquire(bool container6 = true, bool container7 = true,
               const std::string& serialHex = "00112233445566778899") {
    card_.ExpectAcquire(container6, container7, serialHex);
    ASSERT_EQ(host_.Acquire(), 0u);
  }
  CardProfile& profile() { return ContextOf(host_.get())->profile; }

  // The entries take non-const names, as the interface declares them.
  DWORD ReadFile(const char* directory, const char* file, HostBlock* out, DWORD flags = 0) {
    return CardReadFile(host_.get(), const_cast<char*>(directory), const_cast<char*>(file), flags, &out->data,
                        &out->size);
  }
  DWORD EnumFiles(const char* directory, HostBlock* out, DWORD flags = 0) {
    LPSTR names = reinterpret_cast<LPSTR>(out->data);
    const DWORD rc = CardEnumFiles(host_.get(), const_cast<char*>(directory), &names, &out->size, flags);
    out->data = reinterpret_cast<BYTE*>(names);
    return rc;
  }
  DWORD GetFileInfo(const char* directory, const char* file, CARD_FILE_INFO* info) {
    return CardGetFileInfo(host_.get(), const_cast<char*>(directory), const_cast<char*>(file), info);
  }

  // The READ BINARY exchanges of a whole-file read of `content`, 255 bytes a
  // chunk; a file whose length is a multiple of 255 ends with an empty answer.
  void ExpectFileRead(const std::vector<BYTE>& content) {
    std::size_t offset = 0;
    for (;;) {
      const std::size_t chunk = std::min<std::size_t>(255, content.size() - offset);
      std::vector<BYTE> command = {0x00, 0xB0, static_cast<BYTE>(offset >> 8), static_cast<BYTE>(offset), 0xFF};
      std::vector<BYTE> answer(content.begin() + offset, content.begin() + offset + chunk);
      if (chunk == 0) {
        answer = {0x6B, 0x00};
      } else {
        answer.insert(answer.end(), {0x90, 0x00});
      }
      card_.Expect(command, answer);
      offset += chunk;
      if (chunk < 255) break;
    }
  }

  ScriptedCard card_;
  TestHost host_{card_.handle()};
  std::size_t liveBefore_ = 0;
};

// `count` bytes of a recognisable pattern.
inline std::vector<BYTE> Pattern(std::size_t count, BYTE seed = 1) {
  std::vector<BYTE> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(seed + i * 7);
  return bytes;
}

}  // namespace vela::test
