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

// `text` cut to at most `columns` characters (code points), keeping its end:
// the file name is the part worth seeing. A cut text starts with "...".
std::string FitLeft(const std::string& text, int columns);

}  // namespace chunkup::cli
