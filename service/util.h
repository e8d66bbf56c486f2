// Small helpers of the service: digests, key text, form escapes, JSON text,
// random ids and the data-dir file routines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <json/json.h>

namespace chunkup::service {

inline constexpr int64_t kChunkSize = 4194304;

// Incremental SHA-1 (OpenSSL's EVP interface underneath).
class Sha1 {
 public:
  Sha1();
  ~Sha1();
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;
  void Update(const void* data, size_t size);
  std::string FinalKey();  // 28-char base64url text of the digest
 private:
  void* m_ctx;
};

std::string Base64UrlEncode(const unsigned char* data, size_t size);
// A chunk key is the base64url text of a 20-byte digest: 27 characters of the
// url-safe alphabet and one '='. Anything else (dots, slashes, ...) is refused.
bool IsValidKey(std::string_view key);
std::string Sha1Key(std::string_view data);
// The 40 lower-case hexadecimal digits of a valid key's digest: what chunk
// files are named by, so no file name starts with '-' (a key may).
std::string KeyToHex(std::string_view key);
// A 40-digit lower-case hexadecimal name back to its key; nullopt otherwise.
std::optional<std::string> HexToKey(std::string_view hex);

// Decimal text with no sign and no leading zeros, fitting a signed 64-bit number.
std::optional<int64_t> ParseUnsignedDecimal(std::string_view text);
// Optional '-' then decimal digits, fitting a signed 64-bit number.
std::optional<int64_t> ParseSignedDecimal(std::string_view text);

// Form decoding of one query value: '+' is a space, %xx a byte. Bad escapes
// make the whole value invalid.
std::optional<std::string> FormDecode(std::string_view text);
// Splits a raw query string into decoded pairs; nullopt on a bad escape.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseQuery(std::string_view query);
// Percent-escapes everything but unreserved characters (for URL path parts).
std::string PercentEncode(std::string_view text);

std::string HtmlEscape(std::string_view text);

// Strict JSON parse (no comments, no trailing commas, one value only).
bool ParseJsonStrict(std::string_view text, Json::Value& out, std::string* error = nullptr);
// Compact JSON with UTF-8 left as is.
std::string JsonText(const Json::Value& value);
std::string ErrorJson(std::string_view message);

std::string RandomHex(size_t bytes);

int64_t ChunkCountFor(int64_t fileSize);
int64_t ChunkLengthAt(int64_t fileSize, int64_t index);

// Writes data to a fresh file in tmpDir, flushes it and renames it to finalPath,
// then flushes the directory: a crash leaves either nothing or the whole file.
bool AtomicWriteFile(const std::string& tmpDir, const std::string& finalPath, std::string_view data);
bool FsyncDirectory(const std::string& dir);
bool MakeDirs(const std::string& dir);

// Breaks the TCP connection of the request served on this thread: finds the
// socket whose peer and local ports match and shuts it down both ways.
bool BreakConnection(const std::string& peerAddr, int peerPort, int localPort);

// The socket of the TCP connection with this peer and local port, or -1. For
// the thread serving that connection: it remembers the last one it found.
int FindConnectionSocket(const std::string& peerAddr, int peerPort, int localPort);

bool IsLoopbackAddress(const std::string& addr);

// Equality that takes the same time wherever the texts differ (for secrets).
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// The Content-Type for a file name, from its extension (case-insensitive);
// application/octet-stream when the extension is unknown or missing.
std::string ContentTypeForName(std::string_view name);

}  // namespace chunkup::service
