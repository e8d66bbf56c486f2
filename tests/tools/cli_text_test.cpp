// The CLI's text helpers: the path conversion it hands the library and the
// JSON it prints must never be wrong, whatever bytes a file name holds.
#include <gtest/gtest.h>
#include <json/json.h>

#include "chunkup.h"

#include <string>
#include <utility>

#include "tools/cli_text.h"

namespace chunkup::cli {
namespace {

TEST(CliText, Utf8ToUtf16AcceptsOnlyWellFormedText) {
  struct Case {
    std::string utf8;
    bool ok;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"/tmp/plain name.bin", true, u"/tmp/plain name.bin"},
      {"/tmp/na\xc3\xafve \xe2\x82\xac", true, u"/tmp/na\u00efve \u20ac"},
      {"/\xf0\x9f\x98\x80", true, u"/\U0001F600"},  // a surrogate pair
      {"/a\xff", false, u""},                       // not UTF-8 at all
      {"/\xc0\xaf", false, u""},                    // overlong '/'
      {"/\xed\xa0\x80", false, u""},                // an encoded surrogate
      {"/\xf4\x90\x80\x80", false, u""},            // above U+10FFFF
      {"/\xe2\x82", false, u""},                    // cut short
  };
  for (const auto& c : cases) {
    std::u16string out;
    EXPECT_EQ(Utf8ToUtf16(c.utf8, &out), c.ok) << c.utf8;
    if (c.ok) {
      EXPECT_EQ(out, c.utf16) << c.utf8;
    }
  }
}

TEST(CliText, AbsolutePath) {
  EXPECT_EQ(AbsolutePath("/x/y", "/home/u"), "/x/y");
  EXPECT_EQ(AbsolutePath("y", "/home/u"), "/home/u/y");
  EXPECT_EQ(AbsolutePath("./y", "/home/u/"), "/home/u/y");
  EXPECT_EQ(AbsolutePath("../y", "/home/u"), "/home/u/../y");
  EXPECT_EQ(AbsolutePath("y", "/"), "/y");
}

TEST(CliText, JsonQuoteAlwaysGivesValidJson) {
  const std::string texts[] = {
      "plain",
      "quote \" backslash \\ tab \t line\nfeed",
      "control \x01\x1f\x7f",
      "utf-8 na\xc3\xafve \xf0\x9f\x98\x80",
      "broken \xff\xc3 end",
  };
  for (const auto& text : texts) {
    const std::string quoted = JsonQuote(text);
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = false;
    Json::Value value;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(quoted.data(), quoted.data() + quoted.size(), &value, &errors)) << quoted << errors;
    if (text.find('\xff') == std::string::npos) {
      EXPECT_EQ(value.asString(), text);
    } else {
      EXPECT_EQ(value.asString(), "broken \xef\xbf\xbd\xef\xbf\xbd end");
    }
  }
}

// File names and service replies reach the terminal: none may carry an
// escape sequence or a line break there.
TEST(CliText, PrintableNeutralisesControlCharacters) {
  EXPECT_EQ(Printable("na\xc3\xafve file.bin"), "na\xc3\xafve file.bin");
  EXPECT_EQ(Printable("a\x1b[2Jb\nc\rd\x7f"), "a?[2Jb?c?d?");
  EXPECT_EQ(Printable("c1 \xc2\x9b" "31m"), "c1 ?31m");  // U+009B, the one-byte CSI
  EXPECT_EQ(Printable("bad \xff\xc3"), "bad ??");
}

TEST(CliText, FitLeftKeepsTheEndAndWholeCharacters) {
  EXPECT_EQ(FitLeft("short", 10), "short");
  EXPECT_EQ(FitLeft("/very/long/path/file.bin", 11), "...file.bin");
  EXPECT_EQ(FitLeft("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 4), "...\xc3\xa9");
  // Wide characters take two columns: a cut never leaves the text wider than asked.
  const std::string kanji = "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.bin";  // three CJK characters, ".bin"
  EXPECT_EQ(DisplayWidth(kanji), 10);
  EXPECT_EQ(FitLeft(kanji, 9), "...\xe8\xaa\x9e.bin");
  EXPECT_EQ(FitLeft(kanji, 8), "....bin");
  EXPECT_EQ(FitRight(kanji, 3), "\xe6\x97\xa5");
  EXPECT_EQ(DisplayWidth("e\xcc\x81"), 1);  // e and a combining acute accent
}

TEST(CliText, HumanUnits) {
  const std::pair<uint64_t, const char*> sizes[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KiB"},
      {1536, "1.5 KiB"},
      {1048575, "1.0 MiB"},  // 1023.999 KiB rounds up into the next unit, not to "1024.0 KiB"
      {5 * 1048576ull + 3, "5.0 MiB"},
      {4294967296ull, "4.0 GiB"},
      {~0ull, "16.0 EiB"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(HumanBytes(bytes), text) << bytes;

  EXPECT_EQ(HumanRate(0), "0 B/s");
  EXPECT_EQ(HumanRate(-3), "0 B/s");
  EXPECT_EQ(HumanRate(512), "512.0 KiB/s");
  EXPECT_EQ(HumanRate(3277), "3.2 MiB/s");
  EXPECT_EQ(HumanRate(2147483647), "2.0 TiB/s");  // the largest rate the library can report

  struct EtaCase {
    uint64_t remaining;
    int32_t kib;
    const char* text;
  };
  const EtaCase etas[] = {
      {1000, 0, "--:--"},         // no rate yet
      {0, 100, "0:00"},
      {1, 100, "0:01"},           // a part second counts as one
      {102400 * 65, 100, "1:05"},
      {1024ull * 3723, 1, "1:02:03"},
      {1024ull * 99 * 3600 + 1024, 1, ">99h"},
      {~0ull, 1, ">99h"},
  };
  for (const auto& e : etas) EXPECT_EQ(Eta(e.remaining, e.kib), e.text) << e.remaining << " at " << e.kib;
}

// The live block is redrawn in place by moving the cursor up one row per
// line: a single line that wraps puts every later redraw on the wrong row.
// So no line may reach the terminal's last column, at any width, for any name.
TEST(CliText, ProgressLinesNeverWrap) {
  const std::string names[] = {"a.bin", "holiday video 2026 final cut.mkv",
                               "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe5\x90\x8d\xe5\x89\x8d.bin",
                               std::string(300, 'x')};
  const std::string labels[] = {"uploading", "transfer-failed", "done (instant)", "cancelling"};
  for (int columns = 1; columns <= 220; ++columns) {
    for (const auto& name : names) {
      const LineLayout layout = ChooseLayout(columns, DisplayWidth(name));
      for (const auto& label : labels) {
        ProgressFields fields;
        fields.name = name;
        fields.percent = 100;
        fields.fileSize = 1023ull << 30;
        fields.kibPerSecond = 1047552;
        fields.running = true;
        fields.label = label;
        const std::string line = ProgressLine(fields, layout, columns);
        ASSERT_LE(DisplayWidth(line), std::max(0, columns - 1)) << columns << " columns: " << line;
      }
    }
  }
}

TEST(CliText, ProgressLineShowsWhatFits) {
  ProgressFields fields;
  fields.name = "big.iso";
  fields.percent = 40;
  fields.fileSize = 4ull << 30;
  fields.kibPerSecond = 51200;  // 50 MiB/s
  fields.running = true;
  fields.label = "uploading";
  struct Case {
    int columns;
    bool bar, bytes, rate, eta;
  };
  const Case cases[] = {
      {120, true, true, true, true},
      {80, true, false, true, true},
      {40, true, false, false, false},
      {24, false, false, false, false},
  };
  for (const auto& c : cases) {
    const std::string line = ProgressLine(fields, ChooseLayout(c.columns, 7), c.columns);
    SCOPED_TRACE(std::to_string(c.columns) + " columns: " + line);
    EXPECT_EQ(line.rfind("big.iso", 0), 0u);
    EXPECT_NE(line.find("40%"), std::string::npos);
    EXPECT_NE(line.find("uploading"), std::string::npos);
    EXPECT_EQ(line.find("[####") != std::string::npos, c.bar);
    EXPECT_EQ(line.find("1.6 GiB/4.0 GiB") != std::string::npos, c.bytes);
    EXPECT_EQ(line.find("50.0 MiB/s") != std::string::npos, c.rate);
    // 2.4 GiB left at 50 MiB/s.
    EXPECT_EQ(line.find("ETA 0:50") != std::string::npos, c.eta);
  }
  // Lines of one redraw line up: the bar starts in the same column for a
  // short and a long name.
  const LineLayout layout = ChooseLayout(120, 20);
  ProgressFields other = fields;
  other.name = "a much longer name.bin";
  EXPECT_EQ(ProgressLine(fields, layout, 120).find('['), ProgressLine(other, layout, 120).find('['));
  // Done: no rate and no ETA, all bytes.
  fields.percent = 100;
  fields.running = false;
  fields.label = "done";
  const std::string done = ProgressLine(fields, ChooseLayout(120, 7), 120);
  EXPECT_NE(done.find("4.0 GiB/4.0 GiB"), std::string::npos) << done;
  EXPECT_EQ(done.find("ETA"), std::string::npos) << done;
  EXPECT_EQ(done.find("/s"), std::string::npos) << done;
}

TEST(CliText, ParseServiceAddress) {
  struct Case {
    std::string url;
    bool ok;
    std::string scheme, hostPort;
  };
  const Case cases[] = {
      {"http://127.0.0.1:8642", true, "http", "127.0.0.1:8642"},
      {"127.0.0.1:8642", true, "http", "127.0.0.1:8642"},  // no scheme: plain HTTP, as the library does
      {"HTTPS://files.example/base/", true, "https", "files.example:443"},
      {"http://files.example", true, "http", "files.example:80"},
      {"https://user:pw@files.example:8443/x?y#z", true, "https", "files.example:8443"},
      {"http://[::1]:9000/", true, "http", "[::1]:9000"},
      {"ftp://files.example", false, "", ""},
      {"file:///etc/passwd", false, "", ""},
      {"http://", false, "", ""},
      {"http://host:0", false, "", ""},
      {"http://host:65536", false, "", ""},
      {"http://host:12ab", false, "", ""},
      {"http://[::1", false, "", ""},
      {"http://bad host", false, "", ""},
  };
  for (const auto& c : cases) {
    ServiceAddress address;
    ASSERT_EQ(ParseServiceAddress(c.url, &address), c.ok) << c.url;
    if (!c.ok) continue;
    EXPECT_EQ(address.scheme, c.scheme) << c.url;
    EXPECT_EQ(address.HostPort(), c.hostPort) << c.url;
  }
}

// The words a failed upload ends with: each names the service and what to do.
TEST(CliText, FailureReasonNamesTheCause) {
  struct Case {
    int32_t state;
    Reachability reach;
    bool https;
    std::string fileError;
    bool cancelled;
    std::string words;
  };
  const Case cases[] = {
      {UPLOAD_STATE_FAILED, Reachability::kRefused, false, "", false, "connection refused to files.example:8642"},
      {UPLOAD_STATE_FAILED, Reachability::kUnresolved, false, "", false, "cannot resolve the host name of files.example:8642"},
      {UPLOAD_STATE_FAILED, Reachability::kUnreachable, false, "", false, "cannot connect to files.example:8642"},
      {UPLOAD_STATE_FAILED, Reachability::kConnected, true, "", false, "certificate is not trusted"},
      {UPLOAD_STATE_FAILED, Reachability::kConnected, true, "", false, "CHUNKUP_CA_FILE"},
      {UPLOAD_STATE_FAILED, Reachability::kConnected, false, "", false, "the exchange with files.example:8642 failed"},
      {UPLOAD_STATE_TIMEOUT, Reachability::kNotChecked, false, "", false, "time-out: files.example:8642 did not answer"},
      {UPLOAD_STATE_REFUSED, Reachability::kNotChecked, false, "", false, "answered with an HTTP error status"},
      {UPLOAD_STATE_TRANSFER_FAILED, Reachability::kNotChecked, false, "", false, "did not reach files.example:8642 whole"},
      {UPLOAD_STATE_TRANSFER_FAILED, Reachability::kNotChecked, false, "Permission denied", false,
       "file unreadable: Permission denied"},
      {UPLOAD_STATE_FAILED, Reachability::kNotChecked, false, "No such file or directory", false,
       "file unreadable: No such file or directory"},
      {UPLOAD_STATE_OK, Reachability::kNotChecked, false, "", false, "without a result URL"},
      {UPLOAD_STATE_FAILED, Reachability::kRefused, false, "", true, "cancelled"},
  };
  for (const auto& c : cases) {
    FailureFacts facts;
    facts.state = c.state;
    facts.reach = c.reach;
    facts.https = c.https;
    facts.fileError = c.fileError;
    facts.cancelled = c.cancelled;
    facts.service = "files.example:8642";
    const std::string reason = FailureReason(facts);
    EXPECT_NE(reason.find(c.words), std::string::npos) << "state " << c.state << ": " << reason;
  }
}

}  // namespace
}  // namespace chunkup::cli
