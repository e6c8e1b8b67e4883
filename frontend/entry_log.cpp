#include "frontend/entry_log.h"

#include <cinttypes>
#include <cstdio>

#include "core/result_names.h"

namespace vela {

namespace {

// Host strings are read up to their terminator or this many units, whichever
// comes first: a name that long is shown cut off.
constexpr std::size_t kMaxShownUnits = 64;

void Separate(LogText* out) {
  if (!out->empty()) *out += ", ";
}

template <class Unit>
void AppendQuoted(LogText* out, const Unit* text) {
  Separate(out);
  if (text == nullptr) {
    *out += "null";
    return;
  }
  *out += '"';
  std::size_t i = 0;
  for (; i < kMaxShownUnits && text[i] != Unit{0}; ++i) {
    const auto unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Unit>>(text[i]));
    if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
      *out += static_cast<char>(unit);
    } else {
      out->AppendFormat(unit <= 0xFF ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(unit));
    }
  }
  *out += '"';
  if (i == kMaxShownUnits && text[i] != Unit{0}) *out += "...";
}

}  // namespace

void AppendNumber(LogText* out, std::uint64_t value, bool hexadecimal) {
  Separate(out);
  out->AppendFormat(hexadecimal ? "0x%" PRIX64 : "%" PRIu64, value);
}

// The card record is the same in every call of a context.
void AppendArgument(LogText*, const CARD_DATA*, bool) {}

void AppendArgument(LogText* out, const void* pointer, bool) {
  Separate(out);
  *out += pointer == nullptr ? "null" : "ptr";
}

void AppendArgument(LogText* out, const char* text, bool contents) {
  if (!contents) return AppendArgument(out, static_cast<const void*>(text), false);
  AppendQuoted(out, text);
}

void AppendArgument(LogText* out, const char16_t* text, bool contents) {
  if (!contents) return AppendArgument(out, static_cast<const void*>(text), false);
  AppendQuoted(out, text);
}

void AppendArgument(LogText* out, const CARD_SIGNING_INFO* info, bool contents) {
  if (info == nullptr || !contents) return AppendArgument(out, static_cast<const void*>(info), false);
  Separate(out);
  out->AppendFormat("{container %u, keySpec %u, hashAlg 0x%X, flags 0x%X}", static_cast<unsigned>(info->bContainerIndex),
                    static_cast<unsigned>(info->dwKeySpec), static_cast<unsigned>(info->aiHashAlg),
                    static_cast<unsigned>(info->dwSigningFlags));
}

void AppendArgument(LogText* out, const CARD_DH_AGREEMENT_INFO* info, bool contents) {
  if (info == nullptr || !contents) return AppendArgument(out, static_cast<const void*>(info), false);
  Separate(out);
  out->AppendFormat("{container %u, slot %u}", static_cast<unsigned>(info->bContainerIndex),
                    static_cast<unsigned>(info->bSecretAgreementIndex));
}

void AppendArgument(LogText* out, const CARD_DERIVE_KEY* info, bool contents) {
  if (info == nullptr || !contents) return AppendArgument(out, static_cast<const void*>(info), false);
  Separate(out);
  *out += "{kdf ";
  LogText kdf;
  AppendQuoted(&kdf, info->pwszKDF);
  *out += kdf;
  out->AppendFormat(", slot %u, flags 0x%X}", static_cast<unsigned>(info->bSecretAgreementIndex),
                    static_cast<unsigned>(info->dwFlags));
}

bool EntryLineWanted(DWORD result) { return (result == 0 ? kLogInfo : kLogError) <= LogLevel(); }

void WriteEntryLine(const char* name, const LogText* arguments, DWORD result, std::uint64_t elapsedMicroseconds) {
  const char* resultName = ResultCodeName(result);
  char code[40];
  if (resultName != nullptr) {
    std::snprintf(code, sizeof code, " (0x%08X)", static_cast<unsigned>(result));
  } else {
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(result));
    resultName = "";
  }
  if (arguments != nullptr && !arguments->complete()) return;
  WriteLogLine(result == 0 ? kLogInfo : kLogError, __FILE__, __LINE__, false, "%s%s%s%s = %s%s in %llu us", name,
               arguments != nullptr ? "(" : "", arguments != nullptr ? arguments->c_str() : "",
               arguments != nullptr ? ")" : "", resultName, code, static_cast<unsigned long long>(elapsedMicroseconds));
}

}  // namespace vela
