// The service's reading of report queries and the decimal and key texts it
// takes from URLs, plus the library's side of the same query: what the
// library escapes into a report, the service reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "report/form_encoding.h"
#include "service/server.h"
#include "service/util.h"

namespace {

using namespace chunkup::service;

void CheckDecimals(std::string_view text) {
  if (auto value = ParseUnsignedDecimal(text)) {
    FUZZ_CHECK(*value >= 0);
    FUZZ_CHECK(std::to_string(*value) == text);
  }
  if (auto value = ParseSignedDecimal(text)) {
    // Only an optional minus and digits read as a number (leading zeros allowed).
    FUZZ_CHECK(text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) == std::string_view::npos);
    FUZZ_CHECK(ParseSignedDecimal(std::to_string(*value)) == value);
  }
}

void CheckReportRoundTrip(const std::string& name, const std::string& url) {
  std::string query = "filesize=3&uploaded=3&speed=0&name=";
  chunkup::FormUrlEncode(query, name.c_str());
  query += "&url=";
  chunkup::FormUrlEncode(query, url.c_str());
  chunkup::service::ReportRecord report;
  const auto problem = CheckReportQuery(query, report);
  FUZZ_CHECK(!problem);
  FUZZ_CHECK(report.name == std::string(name.c_str()));
  FUZZ_CHECK(report.url && *report.url == std::string(url.c_str()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  chunkup::service::ReportRecord report;
  if (!CheckReportQuery(text, report)) {
    FUZZ_CHECK(ParseSignedDecimal(report.filesize) && ParseSignedDecimal(report.uploaded) &&
               ParseSignedDecimal(report.speed));
  }
  if (auto pairs = ParseQuery(text)) {
    for (const auto& [key, value] : *pairs) FUZZ_CHECK(key.size() + value.size() <= text.size());
  }
  CheckDecimals(text);
  if (IsValidKey(text)) FUZZ_CHECK(text.size() == 28);
  for (char c : PercentEncode(text)) FUZZ_CHECK(c > 0x20 && c < 0x7F && c != '/' && c != '?' && c != '#');

  const size_t half = text.size() / 2;
  CheckReportRoundTrip(text.substr(0, half), text.substr(half));
  return 0;
}
