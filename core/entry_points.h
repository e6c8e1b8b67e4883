// Every function the module places in the host's function table. Each lives
// with its subsystem; the front end only writes the table.
#pragma once

#include "core/minidriver_abi.h"

namespace vela {

// frontend/
DWORD VELA_WINAPI CardDeleteContext(PCARD_DATA pCardData);

// files/
DWORD VELA_WINAPI CardReadFile(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName, DWORD dwFlags,
                               PBYTE* ppbData, PDWORD pcbData);
DWORD VELA_WINAPI CardEnumFiles(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR* pmszFileNames,
                                PDWORD pdwcbFileName, DWORD dwFlags);
DWORD VELA_WINAPI CardGetFileInfo(PCARD_DATA pCardData, LPSTR pszDirectoryName, LPSTR pszFileName,
                                  CARD_FILE_INFO* pCardFileInfo);
DWORD VELA_WINAPI CardGetContainerInfo(PCARD_DATA pCardData, BYTE bContainerIndex, DWORD dwFlags,
                                       CONTAINER_INFO* pContainerInfo);
DWORD VELA_WINAPI CardGetContainerProperty(PCARD_DATA pCardData, BYTE bContainerIndex, LPCWSTR wszProperty,
                                           PBYTE pbData, DWORD cbData, PDWORD pdwDataLen, DWORD dwFlags);

// auth/
DWORD VELA_WINAPI CardAuthenticatePin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbPin, DWORD cbPin,
                                      PDWORD pcAttemptsRemaining);
DWORD VELA_WINAPI CardAuthenticateEx(PCARD_DATA pCardData, PIN_ID PinId, DWORD dwFlags, PBYTE pbPinData,
                                     DWORD cbPinData, PBYTE* ppbSessionPin, PDWORD pcbSessionPin,
                                     PDWORD pcAttemptsRemaining);
DWORD VELA_WINAPI CardDeauthenticate(PCARD_DATA pCardData, LPWSTR pwszUserId, DWORD dwFlags);
DWORD VELA_WINAPI CardDeauthenticateEx(PCARD_DATA pCardData, PIN_SET PinId, DWORD dwFlags);
DWORD VELA_WINAPI CardUnblockPin(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbAuthenticationData,
                                 DWORD cbAuthenticationData, PBYTE pbNewPinData, DWORD cbNewPinData,
                                 DWORD cRetryCount, DWORD dwFlags);
DWORD VELA_WINAPI CardChangeAuthenticator(PCARD_DATA pCardData, LPWSTR pwszUserId, PBYTE pbCurrentAuthenticator,
                                          DWORD cbCurrentAuthenticator, PBYTE pbNewAuthenticator,
                                          DWORD cbNewAuthenticator, DWORD cRetryCount, DWORD dwFlags,
                                          PDWORD pcAttemptsRemaining);
DWORD VELA_WINAPI CardChangeAuthenticatorEx(PCARD_DATA pCardData, DWORD dwFlags, PIN_ID dwAuthenticatingPinId,
                                            PBYTE pbAuthenticatingPinData, DWORD cbAuthenticatingPinData,
                                            PIN_ID dwTargetPinId, PBYTE pbTargetData, DWORD cbTargetData,
                                            DWORD cRetryCount, PDWORD pcAttemptsRemaining);

// keys/
DWORD VELA_WINAPI CardSignData(PCARD_DATA pCardData, CARD_SIGNING_INFO* pInfo);
DWORD VELA_WINAPI CardConstructDHAgreement(PCARD_DATA pCardData, CARD_DH_AGREEMENT_INFO* pAgreementInfo);
DWORD VELA_WINAPI CardDeriveKey(PCARD_DATA pCardData, CARD_DERIVE_KEY* pAgreementInfo);
DWORD VELA_WINAPI CardDestroyDHAgreement(PCARD_DATA pCardData, BYTE bSecretAgreementIndex, DWORD dwFlags);

// properties/
DWORD VELA_WINAPI CardQueryCapabilities(PCARD_DATA pCardData, CARD_CAPABILITIES* pCardCapabilities);
DWORD VELA_WINAPI CardQueryFreeSpace(PCARD_DATA pCardData, DWORD dwFlags, CARD_FREE_SPACE_INFO* pCardFreeSpaceInfo);
DWORD VELA_WINAPI CardQueryKeySizes(PCARD_DATA pCardData, DWORD dwKeySpec, DWORD dwFlags,
                                    CARD_KEY_SIZES* pKeySizes);
DWORD VELA_WINAPI CardGetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbData,
                                  PDWORD pdwDataLen, DWORD dwFlags);
DWORD VELA_WINAPI CardSetProperty(PCARD_DATA pCardData, LPCWSTR wszProperty, PBYTE pbData, DWORD cbDataLen,
                                  DWORD dwFlags);

// The entries the module refuses (frontend/unsupported_entries.cpp).
DWORD VELA_WINAPI CardDeleteContainer(PCARD_DATA, BYTE, DWORD);
DWORD VELA_WINAPI CardCreateContainer(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE);
DWORD VELA_WINAPI CardCreateContainerEx(PCARD_DATA, BYTE, DWORD, DWORD, DWORD, PBYTE, PIN_ID);
DWORD VELA_WINAPI CardGetChallenge(PCARD_DATA, PBYTE*, PDWORD);
DWORD VELA_WINAPI CardGetChallengeEx(PCARD_DATA, PIN_ID, PBYTE*, PDWORD, DWORD);
DWORD VELA_WINAPI CardAuthenticateChallenge(PCARD_DATA, PBYTE, DWORD, PDWORD);
DWORD VELA_WINAPI CardCreateDirectory(PCARD_DATA, LPSTR, CARD_DIRECTORY_ACCESS_CONDITION);
DWORD VELA_WINAPI CardDeleteDirectory(PCARD_DATA, LPSTR);
DWORD VELA_WINAPI CardCreateFile(PCARD_DATA, LPSTR, LPSTR, DWORD, CARD_FILE_ACCESS_CONDITION);
DWORD VELA_WINAPI CardWriteFile(PCARD_DATA, LPSTR, LPSTR, DWORD, PBYTE, DWORD);
DWORD VELA_WINAPI CardDeleteFile(PCARD_DATA, LPSTR, LPSTR, DWORD);
DWORD VELA_WINAPI CardSetContainerProperty(PCARD_DATA, BYTE, LPCWSTR, PBYTE, DWORD, DWORD);
DWORD VELA_WINAPI MDImportSessionKey(PCARD_DATA, LPCWSTR, LPCWSTR, CARD_KEY_HANDLE*, PBYTE, DWORD);
DWORD VELA_WINAPI MDEncryptData(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD, CARD_ENCRYPTED_DATA**,
                                PDWORD);
DWORD VELA_WINAPI CardImportSessionKey(PCARD_DATA, BYTE, void*, LPCWSTR, DWORD, CARD_KEY_HANDLE*, PBYTE, DWORD);
DWORD VELA_WINAPI CardGetSharedKeyHandle(PCARD_DATA, PBYTE, DWORD, PBYTE*, PDWORD, CARD_KEY_HANDLE*);
DWORD VELA_WINAPI CardGetAlgorithmProperty(PCARD_DATA, LPCWSTR, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD);
DWORD VELA_WINAPI CardGetKeyProperty(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, PDWORD, DWORD);
DWORD VELA_WINAPI CardSetKeyProperty(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD);
DWORD VELA_WINAPI CardDestroyKey(PCARD_DATA, CARD_KEY_HANDLE);
DWORD VELA_WINAPI CardProcessEncryptedData(PCARD_DATA, CARD_KEY_HANDLE, LPCWSTR, CARD_ENCRYPTED_DATA*, DWORD, PBYTE,
                                           DWORD, PDWORD, DWORD);

}  // namespace vela
