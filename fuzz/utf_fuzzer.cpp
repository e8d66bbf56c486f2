// UTF-8 <-> UTF-16 on arbitrary input: file names arrive as UTF-16 from the
// host, result URLs as bytes from the network. Measured lengths match what is
// written, a target one unit short is refused without being overrun, and one
// pass turns any input into well-formed text that converts back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/platform.h"
#include "platform/utf.h"

namespace {

using chunkup::ConvertUtf16ToUtf8;
using chunkup::ConvertUtf8ToUtf16;

// Converts with an exactly sized target (and checks the measure), then checks
// that one unit less is refused and leaves the bytes past it alone.
template <typename From, typename To, typename Convert>
std::basic_string<To> ConvertChecked(Convert convert, const From* source, int length) {
  const int needed = convert(source, length, nullptr, 0);
  FUZZ_CHECK(needed >= 0);
  if (needed == 0) {
    FUZZ_CHECK(length == 0);
    return {};
  }
  auto exact = std::make_unique<To[]>(static_cast<size_t>(needed));
  FUZZ_CHECK(convert(source, length, exact.get(), needed) == needed);
  if (needed > 1) {  // a capacity of 0 would only measure
    auto shorter = std::make_unique<To[]>(static_cast<size_t>(needed));
    for (int i = 0; i < needed; ++i) shorter[i] = To(0x5A);
    FUZZ_CHECK(convert(source, length, shorter.get(), needed - 1) == 0);
    FUZZ_CHECK(shorter[needed - 1] == To(0x5A));
  }
  return std::basic_string<To>(exact.get(), static_cast<size_t>(needed));
}

int Utf8ToUtf16(const char* s, int n, char16_t* t, int c) { return ConvertUtf8ToUtf16(s, n, t, c); }
int Utf16ToUtf8(const char16_t* s, int n, char* t, int c) { return ConvertUtf16ToUtf8(s, n, t, c); }

void FromUtf8(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const int length = static_cast<int>(size);
  const std::u16string wide = ConvertChecked<char, char16_t>(Utf8ToUtf16, bytes.data(), length);
  FUZZ_CHECK(wide.size() <= bytes.size());  // never more units than bytes

  // Well-formed now: round trips unchanged.
  const std::string narrow = ConvertChecked<char16_t, char>(Utf16ToUtf8, wide.data(), static_cast<int>(wide.size()));
  const std::u16string again =
      ConvertChecked<char, char16_t>(Utf8ToUtf16, narrow.data(), static_cast<int>(narrow.size()));
  FUZZ_CHECK(again == wide);
  FUZZ_CHECK(chunkup::Utf8ToUtf16(bytes) == wide);
  FUZZ_CHECK(chunkup::Utf16ToUtf8(wide) == narrow);

  // Zero-terminated: up to the first zero, terminator counted.
  const std::u16string terminated = ConvertChecked<char, char16_t>(Utf8ToUtf16, bytes.c_str(), -1);
  FUZZ_CHECK(!terminated.empty() && terminated.back() == 0);
  // The library's widening of a result URL: up to its first zero.
  const std::u16string url = chunkup::SystemPlatform().SystemCodePageToUtf16(bytes);
  FUZZ_CHECK(url + u'\0' == terminated);
}

void FromUtf16(const uint8_t* data, size_t size) {
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * 2);
  const int length = static_cast<int>(units.size());
  const std::string narrow = ConvertChecked<char16_t, char>(Utf16ToUtf8, units.data(), length);
  FUZZ_CHECK(narrow.size() <= units.size() * 3);
  const std::u16string wide =
      ConvertChecked<char, char16_t>(Utf8ToUtf16, narrow.data(), static_cast<int>(narrow.size()));
  const std::string again = ConvertChecked<char16_t, char>(Utf16ToUtf8, wide.data(), static_cast<int>(wide.size()));
  FUZZ_CHECK(again == narrow);

  // The library's conversion of a file name.
  FUZZ_CHECK(chunkup::Utf16ToUtf8(units) == narrow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the direction, so one corpus serves both.
  if (data[0] & 1) {
    FromUtf16(data + 1, size - 1);
  } else {
    FromUtf8(data + 1, size - 1);
  }
  return 0;
}
