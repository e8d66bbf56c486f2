// Text helpers of the command-line host: path and name conversion, JSON
// output and the progress line. Kept apart from main() so tests can reach them.
#pragma once

#include <cstdint>
#include <string>

namespace chunkup::cli {

// Strict UTF-8 to UTF-16: false for any ill-formed sequence (overlong forms,
// surrogates, values above U+10FFFF, truncated sequences). A path the library
// cannot turn back into the same bytes must be refused, not mangled.
bool Utf8ToUtf16(const std::string& text, std::u16string* out);

// `arg` made absolute against `cwd` (an absolute directory). Absolute paths
// come back unchanged; "./" prefixes are dropped.
std::string AbsolutePath(const std::string& arg, const std::string& cwd);

// `text` as a JSON string literal, quotes included. Bytes that do not form
// valid UTF-8 become U+FFFD so the output is always valid JSON.
std::string JsonQuote(const std::string& text);

// `text` safe to print on a terminal: control characters (C0, DEL and C1,
// which a file name or a service reply may hold) become '?', so neither can
// move the cursor or send escape sequences. Ill-formed UTF-8 bytes become '?'.
std::string Printable(const std::string& text);

// Lower-case name of an UPLOAD_STATE_* value ("ok", "timeout", ...).
const char* StateName(int32_t state);

// "[#########.........]" with `width` cells between the brackets.
std::string ProgressBar(int32_t percent, int width);

// Terminal columns `text` takes: East Asian wide characters and emoji take
// two, combining marks none, everything else one. Text passed through
// Printable first, so there are no control characters to count.
int DisplayWidth(const std::string& text);

// `text` cut to at most `columns` terminal columns, keeping its end: the file
// name is the part worth seeing. A cut text starts with "...".
std::string FitLeft(const std::string& text, int columns);
// `text` cut to at most `columns` terminal columns, keeping its start.
std::string FitRight(const std::string& text, int columns);

// Sizes in binary units: "512 B", "1.5 KiB", "12.3 MiB", "4.0 GiB".
std::string HumanBytes(uint64_t bytes);
// A rate given in KiB/s (as the library reports it): "3.2 MiB/s".
std::string HumanRate(int32_t kibPerSecond);
// Time left for `remainingBytes` at `kibPerSecond`: "0:05", "1:02:03";
// "--:--" without a rate, ">99h" beyond 99 hours.
std::string Eta(uint64_t remainingBytes, int32_t kibPerSecond);

// What one progress line shows for one file.
struct ProgressFields {
  std::string name;  // already made printable
  int32_t percent = 0;
  uint64_t fileSize = 0;
  int32_t kibPerSecond = 0;
  bool running = false;  // bytes are moving: an ETA makes sense
  std::string label;     // "uploading", "done", "refused", ...
};

// Which parts fit on a line. Chosen once per redraw for all files, so the
// columns line up from one file to the next.
struct LineLayout {
  int nameWidth = 0;  // columns for the name (cut or padded to this)
  int barCells = 0;   // 0: no bar
  bool bytes = false;
  bool rate = false;
  bool eta = false;
};

// The richest layout whose line stays narrower than `columns`, for names up to
// `longestName` columns. On a very narrow terminal only the name, the
// percentage and the state remain.
LineLayout ChooseLayout(int columns, int longestName);
// One progress line, never wider than columns - 1: a line as wide as the
// terminal would wrap, and the redraw in place would then overwrite the wrong
// lines.
std::string ProgressLine(const ProgressFields& fields, const LineLayout& layout, int columns);

// The scheme, host and port of a service URL ("https://files.example:8443/x").
// The port defaults to 80 or 443 when the URL names none; a URL without a
// scheme is plain HTTP, as the library treats it.
struct ServiceAddress {
  std::string scheme;  // "http" or "https"
  std::string host;    // without brackets for an IPv6 literal
  std::string port;
  std::string HostPort() const;  // "host:port", IPv6 in brackets
};
bool ParseServiceAddress(const std::string& url, ServiceAddress* out);

// How a plain TCP connect to the service went, asked after an upload failed
// without a more precise state, so the message can name the likely cause.
enum class Reachability { kNotChecked, kConnected, kRefused, kUnresolved, kUnreachable };

struct FailureFacts {
  int32_t state = 0;        // UPLOAD_STATE_* of the finished upload
  bool cancelled = false;   // stopped by Ctrl-C
  std::string service;      // "host:port" the library talked to
  bool https = false;
  Reachability reach = Reachability::kNotChecked;
  std::string fileError;    // why the file cannot be read now; empty when it can
};

// Why an upload ended without a result URL, in words a user can act on.
std::string FailureReason(const FailureFacts& facts);

}  // namespace chunkup::cli
