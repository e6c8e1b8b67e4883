// The smart-card minidriver interface, version 7, as this module sees it.
//
// Declared here rather than taken from an SDK header: the structures must have
// the Windows layout of the architecture being built (x64, which the Linux
// build reproduces, or x86), with 4-byte DWORDs and 2-byte UTF-16 code units
// (char16_t, never wchar_t). The static_asserts at the end pin every offset and
// size the host relies on, for both pointer widths.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/export.h"

namespace vela {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using BOOL = std::int32_t;
using ALG_ID = std::uint32_t;
using PIN_ID = std::uint32_t;
using PIN_SET = std::uint32_t;
using WCHAR = char16_t;
using SIZE_T = std::size_t;
using SCARDCONTEXT = std::uintptr_t;
using SCARDHANDLE = std::uintptr_t;
using CARD_KEY_HANDLE = std::uintptr_t;
using HWND = void*;

using PBYTE = BYTE*;
using PDWORD = DWORD*;
using LPSTR = char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;

// ---- Result codes -----------------------------------------------------------
inline constexpr DWORD SCARD_S_SUCCESS = 0;
inline constexpr DWORD SCARD_F_INTERNAL_ERROR = 0x80100001;
inline constexpr DWORD SCARD_E_CANCELLED = 0x80100002;
inline constexpr DWORD SCARD_E_INVALID_HANDLE = 0x80100003;
inline constexpr DWORD SCARD_E_INVALID_PARAMETER = 0x80100004;
inline constexpr DWORD SCARD_E_NO_MEMORY = 0x80100006;
inline constexpr DWORD SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;
inline constexpr DWORD SCARD_E_UNKNOWN_READER = 0x80100009;
inline constexpr DWORD SCARD_E_TIMEOUT = 0x8010000A;
inline constexpr DWORD SCARD_E_NO_SMARTCARD = 0x8010000C;
inline constexpr DWORD SCARD_E_UNKNOWN_CARD = 0x8010000D;
inline constexpr DWORD SCARD_E_PROTO_MISMATCH = 0x8010000F;
inline constexpr DWORD SCARD_E_NOT_TRANSACTED = 0x80100016;
inline constexpr DWORD SCARD_E_READER_UNAVAILABLE = 0x80100017;
inline constexpr DWORD SCARD_E_NO_SERVICE = 0x8010001D;
inline constexpr DWORD SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;
inline constexpr DWORD SCARD_E_DIR_NOT_FOUND = 0x80100023;
inline constexpr DWORD SCARD_E_FILE_NOT_FOUND = 0x80100024;
inline constexpr DWORD SCARD_E_NO_KEY_CONTAINER = 0x80100030;
inline constexpr DWORD SCARD_W_UNRESPONSIVE_CARD = 0x80100066;
inline constexpr DWORD SCARD_W_UNPOWERED_CARD = 0x80100067;
inline constexpr DWORD SCARD_W_RESET_CARD = 0x80100068;
inline constexpr DWORD SCARD_W_REMOVED_CARD = 0x80100069;
inline constexpr DWORD SCARD_W_SECURITY_VIOLATION = 0x8010006A;
inline constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
inline constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_REVISION_MISMATCH = 1306;

// ---- Versions, key specs, roles ---------------------------------------------
inline constexpr DWORD CARD_DATA_VERSION_FIVE = 5;
inline constexpr DWORD CARD_DATA_VERSION_SIX = 6;
inline constexpr DWORD CARD_DATA_VERSION_SEVEN = 7;
inline constexpr DWORD CARD_DATA_CURRENT_VERSION = CARD_DATA_VERSION_SEVEN;

inline constexpr DWORD AT_KEYEXCHANGE = 1;
inline constexpr DWORD AT_SIGNATURE = 2;
inline constexpr DWORD AT_ECDSA_P256 = 3;
inline constexpr DWORD AT_ECDSA_P384 = 4;
inline constexpr DWORD AT_ECDSA_P521 = 5;
inline constexpr DWORD AT_ECDHE_P256 = 6;
inline constexpr DWORD AT_ECDHE_P384 = 7;
inline constexpr DWORD AT_ECDHE_P521 = 8;

inline constexpr PIN_ID ROLE_EVERYONE = 0;
inline constexpr PIN_ID ROLE_USER = 1;
inline constexpr PIN_ID ROLE_ADMIN = 2;

// PIN and signing flags
inline constexpr DWORD CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE = 0x00000001;
inline constexpr DWORD CARD_AUTHENTICATE_PIN_PIN = 0x00000002;
inline constexpr DWORD CARD_PIN_SILENT_CONTEXT = 0x00000040;
inline constexpr DWORD CARD_AUTHENTICATE_GENERATE_SESSION_PIN = 0x10000000;
inline constexpr DWORD CARD_AUTHENTICATE_SESSION_PIN = 0x20000000;
inline constexpr DWORD PIN_CHANGE_FLAG_UNBLOCK = 0x00000001;
inline constexpr DWORD PIN_CHANGE_FLAG_CHANGEPIN = 0x00000002;
inline constexpr DWORD CARD_BUFFER_SIZE_ONLY = 0x20000000;
inline constexpr DWORD CARD_PADDING_INFO_PRESENT = 0x40000000;
inline constexpr ALG_ID CALG_MD5 = 0x8003;
inline constexpr ALG_ID CALG_SHA_256 = 0x800C;

inline constexpr BYTE CONTAINER_MAP_VALID_CONTAINER = 1;
inline constexpr BYTE CONTAINER_MAP_DEFAULT_CONTAINER = 2;

inline constexpr DWORD BCRYPT_ECDH_PUBLIC_P256_MAGIC = 0x314B4345;   // "ECK1"
inline constexpr DWORD BCRYPT_ECDSA_PUBLIC_P256_MAGIC = 0x31534345;  // "ECS1"

// ---- Enumerations -----------------------------------------------------------
enum CARD_DIRECTORY_ACCESS_CONDITION : std::int32_t {
  InvalidDirAc = 0,
  UserCreateDeleteDirAc = 1,
  AdminCreateDeleteDirAc = 2,
};

enum CARD_FILE_ACCESS_CONDITION : std::int32_t {
  InvalidAc = 0,
  EveryoneReadUserWriteAc = 1,
  UserWriteExecuteAc = 2,
  EveryoneReadAdminWriteAc = 3,
  UnknownAc = 4,
  UserReadWriteAc = 5,
  AdminReadWriteAc = 6,
};

enum SECRET_TYPE : std::int32_t {
  AlphaNumericPinType = 0,
  ExternalPinType = 1,
  ChallengeResponsePinType = 2,
  EmptyPinType = 3,
};

enum SECRET_PURPOSE : std::int32_t {
  AuthenticationPin = 0,
  DigitalSignaturePin = 1,
  EncryptionPin = 2,
  NonRepudiationPin = 3,
  AdministratorPin = 4,
  PrimaryCardPin = 5,
  UnblockOnlyPin = 6,
};

enum PIN_CACHE_POLICY_TYPE : std::int32_t {
  PinCacheNormal = 0,
  PinCacheTimed = 1,
  PinCacheNone = 2,
  PinCacheAlwaysPrompt = 3,
};

// ---- Records ----------------------------------------------------------------
struct CARD_SIGNING_INFO {
  DWORD dwVersion;
  BYTE bContainerIndex;
  DWORD dwKeySpec;
  DWORD dwSigningFlags;
  ALG_ID aiHashAlg;
  PBYTE pbData;
  DWORD cbData;
  PBYTE pbSignedData;
  DWORD cbSignedData;
  void* pPaddingInfo;
  DWORD dwPaddingType;
};

struct CARD_DH_AGREEMENT_INFO {
  DWORD dwVersion;
  BYTE bContainerIndex;
  DWORD dwFlags;
  DWORD dwPublicKey;
  PBYTE pbPublicKey;
  PBYTE pbReserved;
  DWORD cbReserved;
  BYTE bSecretAgreementIndex;
};

struct BCryptBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
};

struct BCryptBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  BCryptBuffer* pBuffers;
};

struct CARD_DERIVE_KEY {
  DWORD dwVersion;
  DWORD dwFlags;
  LPCWSTR pwszKDF;
  BYTE bSecretAgreementIndex;
  void* pParameterList;  // a BCryptBufferDesc
  PBYTE pbDerivedKey;
  DWORD cbDerivedKey;
  LPCWSTR pwszAlgId;
  DWORD dwKeyLen;
  CARD_KEY_HANDLE hKey;
};

// CARD_DERIVE_KEY flags and the BufferType values of its parameter list.
inline constexpr DWORD CARD_RETURN_KEY_HANDLE = 0x01000000;
inline constexpr DWORD KDF_USE_SECRET_AS_HMAC_KEY_FLAG = 0x1;
inline constexpr ULONG KDF_HASH_ALGORITHM = 0;
inline constexpr ULONG KDF_SECRET_PREPEND = 1;
inline constexpr ULONG KDF_SECRET_APPEND = 2;
inline constexpr ULONG KDF_HMAC_KEY = 3;
inline constexpr ULONG KDF_TLS_PRF_LABEL = 4;
inline constexpr ULONG KDF_TLS_PRF_SEED = 5;
inline constexpr ULONG KDF_SECRET_HANDLE = 6;

struct CONTAINER_INFO {
  DWORD dwVersion;
  DWORD dwReserved;
  DWORD cbSigPublicKey;
  PBYTE pbSigPublicKey;
  DWORD cbKeyExPublicKey;
  PBYTE pbKeyExPublicKey;
};

struct CARD_FILE_INFO {
  DWORD dwVersion;
  DWORD cbFileSize;
  CARD_FILE_ACCESS_CONDITION AccessCondition;
};

struct CARD_CAPABILITIES {
  DWORD dwVersion;
  BOOL fCertificateCompression;
  BOOL fKeyGen;
};

struct CARD_KEY_SIZES {
  DWORD dwVersion;
  DWORD dwMinimumBitlen;
  DWORD dwDefaultBitlen;
  DWORD dwMaximumBitlen;
  DWORD dwIncrementalBitlen;
};

struct CARD_FREE_SPACE_INFO {
  DWORD dwVersion;
  DWORD dwBytesAvailable;
  DWORD dwKeyContainersAvailable;
  DWORD dwMaxKeyContainers;
};

struct PIN_CACHE_POLICY {
  DWORD dwVersion;
  PIN_CACHE_POLICY_TYPE PinCachePolicyType;
  DWORD dwPinCachePolicyInfo;
};

struct PIN_INFO {
  DWORD dwVersion;
  SECRET_TYPE PinType;
  SECRET_PURPOSE PinPurpose;
  PIN_SET dwChangePermission;
  PIN_SET dwUnblockPermission;
  PIN_CACHE_POLICY PinCachePolicy;
  DWORD dwFlags;
};

struct CARD_CACHE_FILE_FORMAT {
  BYTE bVersion;
  BYTE bPinsFreshness;
  WORD wContainersFreshness;
  WORD wFilesFreshness;
};

inline constexpr std::size_t MAX_CONTAINER_NAME_LEN = 39;

struct CONTAINER_MAP_RECORD {
  WCHAR wszGuid[MAX_CONTAINER_NAME_LEN + 1];
  BYTE bFlags;
  BYTE bReserved;
  WORD wSigKeySizeBits;
  WORD wKeyExchangeKeySizeBits;
};

struct BCRYPT_ECCKEY_BLOB {
  ULONG dwMagic;
  ULONG cbKey;
};

struct CARD_RSA_DECRYPT_INFO;  // never dereferenced: the card has no RSA keys
struct CARD_ENCRYPTED_DATA;    // never dereferenced: session keys are refused

struct CARD_DATA;
using PCARD_DATA = CARD_DATA*;

// ---- Host callbacks and entry points ----------------------------------------
using PFN_CSP_ALLOC = void*(VELA_WINAPI*)(SIZE_T size);
using PFN_CSP_REALLOC = void*(VELA_WINAPI*)(void* address, SIZE_T size);
using PFN_CSP_FREE = void(VELA_WINAPI*)(void* address);
using PFN_CSP_CACHE_ADD_FILE = DWORD(VELA_WINAPI*)(void* cacheContext, LPWSTR name, DWORD flags,
                                                   PBYTE data, DWORD length);
using PFN_CSP_CACHE_LOOKUP_FILE = DWORD(VELA_WINAPI*)(void* cacheContext, LPWSTR name, DWORD flags,
                                                      PBYTE* data, PDWORD length);
using PFN_CSP_CACHE_DELETE_FILE = DWORD(VELA_WINAPI*)(void* cacheContext, LPWSTR name, DWORD flags);
using PFN_CSP_PAD_DATA = DWORD(VELA_WINAPI*)(CARD_SIGNING_INFO* signingInfo, DWORD cbMaxWidth,
                                             DWORD* pcbPaddedBuffer, PBYTE* ppbPaddedBuffer);
using PFN_CSP_GET_DH_AGREEMENT = DWORD(VELA_WINAPI*)(PCARD_DATA, void* hSecretAgreement,
                                                     BYTE* pbSecretAgreementIndex, DWORD dwFlags);
using PFN_CSP_UNPAD_DATA = DWORD(VELA_WINAPI*)(CARD_RSA_DECRYPT_INFO*, DWORD* pcbUnpaddedData,
                                               PBYTE* ppbUnpaddedData);

using PFN_CARD_DELETE_CONTEXT = DWORD(VELA_WINAPI*)(PCARD_DATA);
using PFN_CARD_QUERY_CAPABILITIES = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_CAPABILITIES*);
using PFN_CARD_DELETE_CONTAINER = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, DWORD);
using PFN_CARD_CREATE_CONTAINER = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE);
using PFN_CARD_GET_CONTAINER_INFO = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, DWORD, CONTAINER_INFO*);
using PFN_CARD_AUTHENTICATE_PIN = DWORD(VELA_WINAPI*)(PCARD_DATA, LPWSTR, PBYTE, DWORD, PDWORD);
using PFN_CARD_GET_CHALLENGE = DWORD(VELA_WINAPI*)(PCARD_DATA, PBYTE*, PDWORD);
using PFN_CARD_AUTHENTICATE_CHALLENGE = DWORD(VELA_WINAPI*)(PCARD_DATA, PBYTE, DWORD, PDWORD);
using PFN_CARD_UNBLOCK_PIN = DWORD(VELA_WINAPI*)(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD, DWORD,
                                                 DWORD);
using PFN_CARD_CHANGE_AUTHENTICATOR = DWORD(VELA_WINAPI*)(PCARD_DATA, LPWSTR, PBYTE, DWORD, PBYTE, DWORD,
                                                          DWORD, DWORD, PDWORD);
using PFN_CARD_DEAUTHENTICATE = DWORD(VELA_WINAPI*)(PCARD_DATA, LPWSTR, DWORD);
using PFN_CARD_CREATE_DIRECTORY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, CARD_DIRECTORY_ACCESS_CONDITION);
using PFN_CARD_DELETE_DIRECTORY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR);
using PFN_CARD_CREATE_FILE = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR, DWORD, CARD_FILE_ACCESS_CONDITION);
using PFN_CARD_READ_FILE = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR, DWORD, PBYTE*, PDWORD);
using PFN_CARD_WRITE_FILE = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR, DWORD, PBYTE, DWORD);
using PFN_CARD_DELETE_FILE = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR, DWORD);
using PFN_CARD_ENUM_FILES = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR*, PDWORD, DWORD);
using PFN_CARD_GET_FILE_INFO = DWORD(VELA_WINAPI*)(PCARD_DATA, LPSTR, LPSTR, CARD_FILE_INFO*);
using PFN_CARD_QUERY_FREE_SPACE = DWORD(VELA_WINAPI*)(PCARD_DATA, DWORD, CARD_FREE_SPACE_INFO*);
using PFN_CARD_QUERY_KEY_SIZES = DWORD(VELA_WINAPI*)(PCARD_DATA, DWORD, DWORD, CARD_KEY_SIZES*);
using PFN_CARD_SIGN_DATA = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_SIGNING_INFO*);
using PFN_CARD_RSA_DECRYPT = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_RSA_DECRYPT_INFO*);
using PFN_CARD_CONSTRUCT_DH_AGREEMENT = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_DH_AGREEMENT_INFO*);
using PFN_CARD_DERIVE_KEY = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_DERIVE_KEY*);
using PFN_CARD_DESTROY_DH_AGREEMENT = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, DWORD);
using PFN_CARD_GET_CHALLENGE_EX = DWORD(VELA_WINAPI*)(PCARD_DATA, PIN_ID, PBYTE*, PDWORD, DWORD);
using PFN_CARD_AUTHENTICATE_EX = DWORD(VELA_WINAPI*)(PCARD_DATA, PIN_ID, DWORD, PBYTE, DWORD, PBYTE*, PDWORD,
                                                     PDWORD);
using PFN_CARD_CHANGE_AUTHENTICATOR_EX = DWORD(VELA_WINAPI*)(PCARD_DATA, DWORD, PIN_ID, PBYTE, DWORD, PIN_ID,
                                                             PBYTE, DWORD, DWORD, PDWORD);
using PFN_CARD_DEAUTHENTICATE_EX = DWORD(VELA_WINAPI*)(PCARD_DATA, PIN_SET, DWORD);
using PFN_CARD_GET_CONTAINER_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, LPCWSTR, PBYTE, DWORD, PDWORD,
                                                            DWORD);
using PFN_CARD_SET_CONTAINER_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, LPCWSTR, PBYTE, DWORD, DWORD);
using PFN_CARD_GET_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD);
using PFN_CARD_SET_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPCWSTR, PBYTE, DWORD, DWORD);
using PFN_MD_IMPORT_SESSION_KEY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPCWSTR, LPCWSTR, CARD_KEY_HANDLE*, PBYTE,
                                                      DWORD);
using PFN_MD_ENCRYPT_DATA = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD,
                                               CARD_ENCRYPTED_DATA**, PDWORD);
using PFN_CARD_IMPORT_SESSION_KEY = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, void*, LPCWSTR, DWORD,
                                                        CARD_KEY_HANDLE*, PBYTE, DWORD);
using PFN_CARD_GET_SHARED_KEY_HANDLE = DWORD(VELA_WINAPI*)(PCARD_DATA, PBYTE, DWORD, PBYTE*, PDWORD,
                                                           CARD_KEY_HANDLE*);
using PFN_CARD_GET_ALGORITHM_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, LPCWSTR, LPCWSTR, PBYTE, DWORD,
                                                            PDWORD, DWORD);
using PFN_CARD_GET_KEY_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD,
                                                      PDWORD, DWORD);
using PFN_CARD_SET_KEY_PROPERTY = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD,
                                                      DWORD);
using PFN_CARD_DESTROY_KEY = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_KEY_HANDLE);
using PFN_CARD_PROCESS_ENCRYPTED_DATA = DWORD(VELA_WINAPI*)(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR,
                                                            CARD_ENCRYPTED_DATA*, DWORD, PBYTE, DWORD, PDWORD,
                                                            DWORD);
using PFN_CARD_CREATE_CONTAINER_EX = DWORD(VELA_WINAPI*)(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE, PIN_ID);

struct CARD_DATA {
  DWORD dwVersion;
  PBYTE pbAtr;
  DWORD cbAtr;
  LPWSTR pwszCardName;
  PFN_CSP_ALLOC pfnCspAlloc;
  PFN_CSP_REALLOC pfnCspReAlloc;
  PFN_CSP_FREE pfnCspFree;
  PFN_CSP_CACHE_ADD_FILE pfnCspCacheAddFile;
  PFN_CSP_CACHE_LOOKUP_FILE pfnCspCacheLookupFile;
  PFN_CSP_CACHE_DELETE_FILE pfnCspCacheDeleteFile;
  void* pvCacheContext;
  PFN_CSP_PAD_DATA pfnCspPadData;
  SCARDCONTEXT hSCardCtx;
  SCARDHANDLE hScard;
  void* pvVendorSpecific;
  PFN_CARD_DELETE_CONTEXT pfnCardDeleteContext;
  PFN_CARD_QUERY_CAPABILITIES pfnCardQueryCapabilities;
  PFN_CARD_DELETE_CONTAINER pfnCardDeleteContainer;
  PFN_CARD_CREATE_CONTAINER pfnCardCreateContainer;
  PFN_CARD_GET_CONTAINER_INFO pfnCardGetContainerInfo;
  PFN_CARD_AUTHENTICATE_PIN pfnCardAuthenticatePin;
  PFN_CARD_GET_CHALLENGE pfnCardGetChallenge;
  PFN_CARD_AUTHENTICATE_CHALLENGE pfnCardAuthenticateChallenge;
  PFN_CARD_UNBLOCK_PIN pfnCardUnblockPin;
  PFN_CARD_CHANGE_AUTHENTICATOR pfnCardChangeAuthenticator;
  PFN_CARD_DEAUTHENTICATE pfnCardDeauthenticate;
  PFN_CARD_CREATE_DIRECTORY pfnCardCreateDirectory;
  PFN_CARD_DELETE_DIRECTORY pfnCardDeleteDirectory;
  void* pvUnused3;
  void* pvUnused4;
  PFN_CARD_CREATE_FILE pfnCardCreateFile;
  PFN_CARD_READ_FILE pfnCardReadFile;
  PFN_CARD_WRITE_FILE pfnCardWriteFile;
  PFN_CARD_DELETE_FILE pfnCardDeleteFile;
  PFN_CARD_ENUM_FILES pfnCardEnumFiles;
  PFN_CARD_GET_FILE_INFO pfnCardGetFileInfo;
  PFN_CARD_QUERY_FREE_SPACE pfnCardQueryFreeSpace;
  PFN_CARD_QUERY_KEY_SIZES pfnCardQueryKeySizes;
  PFN_CARD_SIGN_DATA pfnCardSignData;
  PFN_CARD_RSA_DECRYPT pfnCardRSADecrypt;
  PFN_CARD_CONSTRUCT_DH_AGREEMENT pfnCardConstructDHAgreement;
  // version 5
  PFN_CARD_DERIVE_KEY pfnCardDeriveKey;
  PFN_CARD_DESTROY_DH_AGREEMENT pfnCardDestroyDHAgreement;
  PFN_CSP_GET_DH_AGREEMENT pfnCspGetDHAgreement;
  // version 6
  PFN_CARD_GET_CHALLENGE_EX pfnCardGetChallengeEx;
  PFN_CARD_AUTHENTICATE_EX pfnCardAuthenticateEx;
  PFN_CARD_CHANGE_AUTHENTICATOR_EX pfnCardChangeAuthenticatorEx;
  PFN_CARD_DEAUTHENTICATE_EX pfnCardDeauthenticateEx;
  PFN_CARD_GET_CONTAINER_PROPERTY pfnCardGetContainerProperty;
  PFN_CARD_SET_CONTAINER_PROPERTY pfnCardSetContainerProperty;
  PFN_CARD_GET_PROPERTY pfnCardGetProperty;
  PFN_CARD_SET_PROPERTY pfnCardSetProperty;
  // version 7
  PFN_CSP_UNPAD_DATA pfnCspUnpadData;
  PFN_MD_IMPORT_SESSION_KEY pfnMDImportSessionKey;
  PFN_MD_ENCRYPT_DATA pfnMDEncryptData;
  PFN_CARD_IMPORT_SESSION_KEY pfnCardImportSessionKey;
  PFN_CARD_GET_SHARED_KEY_HANDLE pfnCardGetSharedKeyHandle;
  PFN_CARD_GET_ALGORITHM_PROPERTY pfnCardGetAlgorithmProperty;
  PFN_CARD_GET_KEY_PROPERTY pfnCardGetKeyProperty;
  PFN_CARD_SET_KEY_PROPERTY pfnCardSetKeyProperty;
  PFN_CARD_DESTROY_KEY pfnCardDestroyKey;
  PFN_CARD_PROCESS_ENCRYPTED_DATA pfnCardProcessEncryptedData;
  PFN_CARD_CREATE_CONTAINER_EX pfnCardCreateContainerEx;
};

// ---- Layout checks -----------------------------------------------------------
// Two columns: 64-bit (x64 Windows, and the Linux build, which reproduces it)
// and 32-bit (x86 Windows), where pointers, handles and SIZE_T are 4 bytes.
static_assert(sizeof(WCHAR) == 2 && sizeof(DWORD) == 4);
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "only 64-bit and 32-bit layouts are known");
static_assert(sizeof(SIZE_T) == sizeof(void*) && sizeof(SCARDHANDLE) == sizeof(void*) &&
              sizeof(CARD_KEY_HANDLE) == sizeof(void*));
inline constexpr bool kLayout64 = sizeof(void*) == 8;
static_assert(sizeof(CARD_DIRECTORY_ACCESS_CONDITION) == 4 && sizeof(CARD_FILE_ACCESS_CONDITION) == 4);
static_assert(sizeof(SECRET_TYPE) == 4 && sizeof(SECRET_PURPOSE) == 4 && sizeof(PIN_CACHE_POLICY_TYPE) == 4);

#define VELA_CHECK_OFFSET(record, member, offset64, offset32)                     \
  static_assert(offsetof(record, member) == (kLayout64 ? (offset64) : (offset32)), \
                #record "." #member " is misplaced")
#define VELA_CHECK_SIZE(record, size64, size32) \
  static_assert(sizeof(record) == (kLayout64 ? (size64) : (size32)), #record " has the wrong size")

VELA_CHECK_SIZE(CARD_DATA, 504, 252);
VELA_CHECK_OFFSET(CARD_DATA, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CARD_DATA, pbAtr, 8, 4);
VELA_CHECK_OFFSET(CARD_DATA, cbAtr, 16, 8);
VELA_CHECK_OFFSET(CARD_DATA, pwszCardName, 24, 12);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspAlloc, 32, 16);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspReAlloc, 40, 20);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspFree, 48, 24);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspCacheAddFile, 56, 28);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspCacheLookupFile, 64, 32);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspCacheDeleteFile, 72, 36);
VELA_CHECK_OFFSET(CARD_DATA, pvCacheContext, 80, 40);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspPadData, 88, 44);
VELA_CHECK_OFFSET(CARD_DATA, hSCardCtx, 96, 48);
VELA_CHECK_OFFSET(CARD_DATA, hScard, 104, 52);
VELA_CHECK_OFFSET(CARD_DATA, pvVendorSpecific, 112, 56);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeleteContext, 120, 60);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardQueryCapabilities, 128, 64);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeleteContainer, 136, 68);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardCreateContainer, 144, 72);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetContainerInfo, 152, 76);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardAuthenticatePin, 160, 80);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetChallenge, 168, 84);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardAuthenticateChallenge, 176, 88);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardUnblockPin, 184, 92);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardChangeAuthenticator, 192, 96);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeauthenticate, 200, 100);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardCreateDirectory, 208, 104);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeleteDirectory, 216, 108);
VELA_CHECK_OFFSET(CARD_DATA, pvUnused3, 224, 112);
VELA_CHECK_OFFSET(CARD_DATA, pvUnused4, 232, 116);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardCreateFile, 240, 120);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardReadFile, 248, 124);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardWriteFile, 256, 128);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeleteFile, 264, 132);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardEnumFiles, 272, 136);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetFileInfo, 280, 140);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardQueryFreeSpace, 288, 144);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardQueryKeySizes, 296, 148);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardSignData, 304, 152);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardRSADecrypt, 312, 156);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardConstructDHAgreement, 320, 160);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeriveKey, 328, 164);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDestroyDHAgreement, 336, 168);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspGetDHAgreement, 344, 172);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetChallengeEx, 352, 176);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardAuthenticateEx, 360, 180);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardChangeAuthenticatorEx, 368, 184);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDeauthenticateEx, 376, 188);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetContainerProperty, 384, 192);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardSetContainerProperty, 392, 196);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetProperty, 400, 200);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardSetProperty, 408, 204);
VELA_CHECK_OFFSET(CARD_DATA, pfnCspUnpadData, 416, 208);
VELA_CHECK_OFFSET(CARD_DATA, pfnMDImportSessionKey, 424, 212);
VELA_CHECK_OFFSET(CARD_DATA, pfnMDEncryptData, 432, 216);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardImportSessionKey, 440, 220);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetSharedKeyHandle, 448, 224);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetAlgorithmProperty, 456, 228);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardGetKeyProperty, 464, 232);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardSetKeyProperty, 472, 236);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardDestroyKey, 480, 240);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardProcessEncryptedData, 488, 244);
VELA_CHECK_OFFSET(CARD_DATA, pfnCardCreateContainerEx, 496, 248);

VELA_CHECK_SIZE(CARD_SIGNING_INFO, 72, 44);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, bContainerIndex, 4, 4);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, dwKeySpec, 8, 8);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, dwSigningFlags, 12, 12);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, aiHashAlg, 16, 16);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, pbData, 24, 20);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, cbData, 32, 24);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, pbSignedData, 40, 28);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, cbSignedData, 48, 32);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, pPaddingInfo, 56, 36);
VELA_CHECK_OFFSET(CARD_SIGNING_INFO, dwPaddingType, 64, 40);

VELA_CHECK_SIZE(CARD_DH_AGREEMENT_INFO, 40, 32);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, bContainerIndex, 4, 4);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, dwFlags, 8, 8);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, dwPublicKey, 12, 12);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, pbPublicKey, 16, 16);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, pbReserved, 24, 20);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, cbReserved, 32, 24);
VELA_CHECK_OFFSET(CARD_DH_AGREEMENT_INFO, bSecretAgreementIndex, 36, 28);

VELA_CHECK_SIZE(CARD_DERIVE_KEY, 72, 40);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, dwFlags, 4, 4);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, pwszKDF, 8, 8);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, bSecretAgreementIndex, 16, 12);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, pParameterList, 24, 16);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, pbDerivedKey, 32, 20);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, cbDerivedKey, 40, 24);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, pwszAlgId, 48, 28);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, dwKeyLen, 56, 32);
VELA_CHECK_OFFSET(CARD_DERIVE_KEY, hKey, 64, 36);

VELA_CHECK_SIZE(CONTAINER_INFO, 40, 24);
VELA_CHECK_OFFSET(CONTAINER_INFO, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CONTAINER_INFO, dwReserved, 4, 4);
VELA_CHECK_OFFSET(CONTAINER_INFO, cbSigPublicKey, 8, 8);
VELA_CHECK_OFFSET(CONTAINER_INFO, pbSigPublicKey, 16, 12);
VELA_CHECK_OFFSET(CONTAINER_INFO, cbKeyExPublicKey, 24, 16);
VELA_CHECK_OFFSET(CONTAINER_INFO, pbKeyExPublicKey, 32, 20);

VELA_CHECK_SIZE(CARD_FILE_INFO, 12, 12);
VELA_CHECK_OFFSET(CARD_FILE_INFO, dwVersion, 0, 0);
VELA_CHECK_OFFSET(CARD_FILE_INFO, cbFileSize, 4, 4);
VELA_CHECK_OFFSET(CARD_FILE_INFO, AccessCondition, 8, 8);

VELA_CHECK_SIZE(CARD_CAPABILITIES, 12, 12);
VELA_CHECK_SIZE(CARD_KEY_SIZES, 20, 20);
VELA_CHECK_SIZE(CARD_FREE_SPACE_INFO, 16, 16);
VELA_CHECK_SIZE(PIN_CACHE_POLICY, 12, 12);
VELA_CHECK_SIZE(PIN_INFO, 36, 36);
VELA_CHECK_OFFSET(PIN_INFO, PinCachePolicy, 20, 20);
VELA_CHECK_OFFSET(PIN_INFO, dwFlags, 32, 32);
VELA_CHECK_SIZE(CARD_CACHE_FILE_FORMAT, 6, 6);

VELA_CHECK_SIZE(CONTAINER_MAP_RECORD, 86, 86);
VELA_CHECK_OFFSET(CONTAINER_MAP_RECORD, wszGuid, 0, 0);
VELA_CHECK_OFFSET(CONTAINER_MAP_RECORD, bFlags, 80, 80);
VELA_CHECK_OFFSET(CONTAINER_MAP_RECORD, bReserved, 81, 81);
VELA_CHECK_OFFSET(CONTAINER_MAP_RECORD, wSigKeySizeBits, 82, 82);
VELA_CHECK_OFFSET(CONTAINER_MAP_RECORD, wKeyExchangeKeySizeBits, 84, 84);

VELA_CHECK_SIZE(BCryptBufferDesc, 16, 12);
VELA_CHECK_OFFSET(BCryptBufferDesc, ulVersion, 0, 0);
VELA_CHECK_OFFSET(BCryptBufferDesc, cBuffers, 4, 4);
VELA_CHECK_OFFSET(BCryptBufferDesc, pBuffers, 8, 8);
VELA_CHECK_SIZE(BCryptBuffer, 16, 12);
VELA_CHECK_OFFSET(BCryptBuffer, cbBuffer, 0, 0);
VELA_CHECK_OFFSET(BCryptBuffer, BufferType, 4, 4);
VELA_CHECK_OFFSET(BCryptBuffer, pvBuffer, 8, 8);
VELA_CHECK_SIZE(BCRYPT_ECCKEY_BLOB, 8, 8);
VELA_CHECK_OFFSET(BCRYPT_ECCKEY_BLOB, dwMagic, 0, 0);
VELA_CHECK_OFFSET(BCRYPT_ECCKEY_BLOB, cbKey, 4, 4);

#undef VELA_CHECK_OFFSET
#undef VELA_CHECK_SIZE

}  // namespace vela

// The module's only export.
extern "C" VELA_EXPORT vela::DWORD VELA_WINAPI CardAcquireContext(vela::PCARD_DATA pCardData,
                                                                  vela::DWORD dwFlags);
