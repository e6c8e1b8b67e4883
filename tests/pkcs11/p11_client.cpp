#include "p11_client.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace vela::test {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

pid_t Spawn(const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) std::exit(body());
  return child;
}

int Wait(pid_t child) {
  if (child <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  int status = 0;
  for (pid_t done = 0; done == 0;) {
    done = waitpid(child, &status, WNOHANG);
    if (done < 0) return -1;
    if (done == 0 && std::chrono::steady_clock::now() >= end) {
      // Hung: killed, so that it holds neither the test nor the card.
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> CardAnswers(const std::vector<std::string>& commands) {
  std::string line = "timeout 60 opensc-tool -r 'Virtual PCD 00 00' -c default";
  for (const std::string& command : commands) line += " -s " + command;
  FILE* pipe = popen((line + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {};
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
  pclose(pipe);
  std::vector<std::string> words;
  for (std::size_t at = output.find("SW1=0x"); at != std::string::npos; at = output.find("SW1=0x", at + 1)) {
    const std::size_t sw2 = output.find("SW2=0x", at);
    if (sw2 == std::string::npos) break;
    words.push_back(output.substr(at + 6, 2) + output.substr(sw2 + 6, 2));
  }
  if (words.size() != commands.size()) {
    std::fprintf(stderr, "opensc-tool: %s\n", output.c_str());
    return {};
  }
  return words;
}

std::string PinStates() {
  const std::vector<std::string> words = CardAnswers({"00:A4:08:0C:04:DF:02:80:FF", "00:20:00:03", "00:20:00:04"});
  if (words.size() != 3) return "unexpected answer";
  return words[1] + " " + words[2];
}

CK_FUNCTION_LIST* LoadModule() {
  static CK_FUNCTION_LIST* functions = [] {
    void* library = dlopen(Environment("VELA_P11_MODULE").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return static_cast<CK_FUNCTION_LIST*>(nullptr);
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST* list = nullptr;
    return getList != nullptr && getList(&list) == CKR_OK ? list : nullptr;
  }();
  return functions;
}

CK_SLOT_ID CardProgram::FindToken() {
  CK_SLOT_ID slots[8];
  CK_ULONG count = 8;
  if (p11_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return CK_UNAVAILABLE_INFORMATION;
  const std::string label = "VELA G3 " + Environment("VELA_CARD_SERIAL");
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info;
    if (p11_->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
    if (std::string(reinterpret_cast<char*>(info.label), label.size()) == label) return slots[i];
  }
  return CK_UNAVAILABLE_INFORMATION;
}

CK_SLOT_ID CardProgram::WaitForToken(int seconds) {
  CK_SLOT_ID slot = FindToken();
  for (int i = 0; i < seconds * 10 && slot == CK_UNAVAILABLE_INFORMATION; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    slot = FindToken();
  }
  return slot;
}

CK_SESSION_HANDLE CardProgram::Open(CK_SLOT_ID slot, bool readWrite) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  const CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
  EXPECT_EQ(p11_->C_OpenSession(slot, flags, nullptr, nullptr, &session), CKR_OK);
  return session;
}

CK_RV CardProgram::Login(CK_SESSION_HANDLE session, std::string pin) {
  return p11_->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size());
}

CK_OBJECT_HANDLE CardProgram::Key(CK_SESSION_HANDLE session, CK_OBJECT_CLASS objectClass, CK_BYTE id) {
  CK_ATTRIBUTE pattern[] = {{CKA_CLASS, &objectClass, sizeof(objectClass)}, {CKA_ID, &id, 1}};
  CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;
  CK_ULONG count = 0;
  EXPECT_EQ(p11_->C_FindObjectsInit(session, pattern, 2), CKR_OK);
  EXPECT_EQ(p11_->C_FindObjects(session, &found, 1, &count), CKR_OK);
  EXPECT_EQ(p11_->C_FindObjectsFinal(session), CKR_OK);
  return count == 1 ? found : CK_INVALID_HANDLE;
}

Bytes CardProgram::Attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (p11_->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return {};
  Bytes value(attribute.ulValueLen);
  attribute.pValue = value.data();
  EXPECT_EQ(p11_->C_GetAttributeValue(session, object, &attribute, 1), CKR_OK);
  return value;
}

CK_RV CardProgram::Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, const Bytes& data, Bytes* signature,
                        bool askLength) {
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  CK_RV rv = p11_->C_SignInit(session, &mechanism, key);
  if (rv != CKR_OK) return rv;
  Bytes input = data;
  CK_ULONG length = 64;
  if (askLength) {
    rv = p11_->C_Sign(session, input.data(), input.size(), nullptr, &length);
    if (rv != CKR_OK) return rv;
  }
  signature->resize(length);
  rv = p11_->C_Sign(session, input.data(), input.size(), signature->data(), &length);
  signature->resize(rv == CKR_OK ? length : 0);
  return rv;
}

Pkey CardProgram::PublicKey(CK_SESSION_HANDLE session, CK_BYTE id) {
  // CKA_EC_POINT is the point in a DER OCTET STRING (04 41 ...).
  const Bytes point = Attribute(session, Key(session, CKO_PUBLIC_KEY, id), CKA_EC_POINT);
  if (point.size() != 67) return nullptr;
  return P256FromPoint(Bytes(point.begin() + 2, point.end()));
}

Pkey P256FromPoint(const Bytes& point) {
  Bytes copy = point;
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
                         OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
                         OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (context == nullptr || EVP_PKEY_fromdata_init(context) != 1 ||
      EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(context);
  return Pkey(key);
}

}  // namespace vela::test
