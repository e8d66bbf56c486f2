// The encoders whose output goes on the wire: base64url (chunk keys) and the
// form escape of the report query. Checked against their definitions: the
// output alphabet, the lengths, and that the escape decodes back to its input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fingerprint/encodings.h"
#include "fuzz/fuzz_check.h"
#include "report/form_encoding.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the encoder writes lower-case digits only
}

bool IsBase64UrlDigit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

void CheckBase64Url(const uint8_t* data, size_t size) {
  bool error = true;
  const size_t needed = chunkup::Base64UrlEncode(data, size, nullptr, 0, &error);
  FUZZ_CHECK(!error);
  FUZZ_CHECK(needed == (size + 2) / 3 * 4);

  // Exactly as large as measured, so a write past it is caught.
  auto exact = std::make_unique<char[]>(needed == 0 ? 1 : needed);
  FUZZ_CHECK(chunkup::Base64UrlEncode(data, size, exact.get(), needed, &error) == needed);
  FUZZ_CHECK(!error);
  const size_t padding = (3 - size % 3) % 3;
  for (size_t i = 0; i < needed; ++i) {
    if (i >= needed - padding) {
      FUZZ_CHECK(exact[i] == '=');
    } else {
      FUZZ_CHECK(IsBase64UrlDigit(exact[i]));
    }
  }

  // One byte short: refused, nothing written.
  if (needed > 0) {
    auto small = std::make_unique<char[]>(needed - 1 == 0 ? 1 : needed - 1);
    std::memset(small.get(), '#', needed - 1);
    FUZZ_CHECK(chunkup::Base64UrlEncode(data, size, small.get(), needed - 1, &error) == 0);
    FUZZ_CHECK(error);
    for (size_t i = 0; i + 1 < needed; ++i) FUZZ_CHECK(small[i] == '#');
  }

  if (size >= 20) {
    std::string key = "left over";
    FUZZ_CHECK(chunkup::MakeChunkKey(key, data) == 0);
    char digestText[28];
    FUZZ_CHECK(chunkup::Base64UrlEncode(data, 20, digestText, sizeof digestText, &error) == 28);
    FUZZ_CHECK(key.size() == 28 && key[27] == '=');
    FUZZ_CHECK(key.compare(0, 28, digestText, 28) == 0);
  }
}

void CheckFormEscape(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);  // c_str() ends at the first zero
  const std::string value(input.c_str());
  std::string output = "prefix=";
  const char* text = chunkup::FormUrlEncode(output, input.c_str());
  FUZZ_CHECK(text == output.c_str());
  FUZZ_CHECK(output.compare(0, 7, "prefix=") == 0);  // appended, not replaced

  std::string decoded;
  for (size_t i = 7; i < output.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(output[i]);
    // Nothing that could end the value, the query or the request line.
    FUZZ_CHECK(c > 0x20 && c != 0x7F && c != '&' && c != '=' && c != '#' && c != '?' && c != ' ');
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%') {
      FUZZ_CHECK(i + 2 < output.size());
      const int hi = HexValue(output[i + 1]);
      const int lo = HexValue(output[i + 2]);
      FUZZ_CHECK(hi >= 0 && lo >= 0);
      decoded += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      decoded += static_cast<char>(c);
    }
  }
  FUZZ_CHECK(decoded == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckBase64Url(data, size);
  CheckFormEscape(data, size);
  return 0;
}
