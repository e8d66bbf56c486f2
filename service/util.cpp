#include "service/util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

namespace chunkup::service {

Sha1::Sha1() : m_ctx(EVP_MD_CTX_new()) {
  if (!m_ctx || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_ctx), EVP_sha1(), nullptr) != 1)
    throw std::runtime_error("SHA-1 is not available");
}

Sha1::~Sha1() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_ctx)); }

void Sha1::Update(const void* data, size_t size) {
  if (size) EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_ctx), data, size);
}

std::string Sha1::FinalKey() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_ctx), digest, &length);
  return Base64UrlEncode(digest, length);
}

std::string Sha1Key(std::string_view data) {
  Sha1 sha;
  sha.Update(data.data(), data.size());
  return sha.FinalKey();
}

static int Base64UrlValue(char c);

std::string KeyToHex(std::string_view key) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(40);
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < 27 && i < key.size(); ++i) {
    bits = (bits << 6) | uint32_t(Base64UrlValue(key[i]) & 63);
    count += 6;
    while (count >= 4 && out.size() < 40) {
      count -= 4;
      out += kHex[(bits >> count) & 15];
    }
  }
  return out;
}

std::optional<std::string> HexToKey(std::string_view hex) {
  if (hex.size() != 40) return std::nullopt;
  unsigned char digest[20];
  for (size_t i = 0; i < 20; ++i) {
    auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    int hi = value(hex[2 * i]), lo = value(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    digest[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  return Base64UrlEncode(digest, sizeof digest);
}

std::string Base64UrlEncode(const unsigned char* data, size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (size - i == 1) {
    uint32_t v = uint32_t(data[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

static int Base64UrlValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

bool IsValidKey(std::string_view key) {
  if (key.size() != 28 || key[27] != '=') return false;
  for (size_t i = 0; i < 27; ++i)
    if (Base64UrlValue(key[i]) < 0) return false;
  // 20 bytes fill 160 of the 162 bits of 27 characters: the last two must be 0.
  return (Base64UrlValue(key[26]) & 3) == 0;
}

std::optional<int64_t> ParseUnsignedDecimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return int64_t(value);
}

std::optional<int64_t> ParseSignedDecimal(std::string_view text) {
  bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (negative) {
    if (value > uint64_t(std::numeric_limits<int64_t>::max()) + 1) return std::nullopt;
    return int64_t(0 - value);
  }
  if (value > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
  return int64_t(value);
}

static int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> FormDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += char(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> ParseQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view part = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (part.empty()) continue;
    size_t eq = part.find('=');
    auto key = FormDecode(part.substr(0, eq));
    auto value = FormDecode(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
    if (!key || !value) return std::nullopt;
    pairs.emplace_back(std::move(*key), std::move(*value));
  }
  return pairs;
}

std::string PercentEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += char(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

bool ParseJsonStrict(std::string_view text, Json::Value& out, std::string* error) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = 64;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  bool ok = false;
  try {
    ok = reader->parse(text.data(), text.data() + text.size(), &out, &errors);
  } catch (const std::exception& e) {
    // jsoncpp throws when nesting passes the stack limit.
    errors = e.what();
  }
  if (!ok && error) *error = errors;
  return ok;
}

std::string JsonText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

std::string ErrorJson(std::string_view message) {
  Json::Value v(Json::objectValue);
  v["error"] = std::string(message);
  return JsonText(v) + "\n";
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (RAND_bytes(buffer.data(), int(bytes)) != 1) {
    std::random_device rd;
    for (auto& b : buffer) b = static_cast<unsigned char>(rd());
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : buffer) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

int64_t ChunkCountFor(int64_t fileSize) { return (fileSize + kChunkSize - 1) / kChunkSize; }

int64_t ChunkLengthAt(int64_t fileSize, int64_t index) {
  int64_t offset = index * kChunkSize;
  int64_t rest = fileSize - offset;
  return rest < kChunkSize ? rest : kChunkSize;
}

static bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= size_t(n);
  }
  return true;
}

bool FsyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool AtomicWriteFile(const std::string& tmpDir, const std::string& finalPath, std::string_view data) {
  std::string tmp = tmpDir + "/w-" + RandomHex(8);
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, data.data(), data.size()) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(tmp.c_str(), finalPath.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return false;
  }
  std::string dir = finalPath.substr(0, finalPath.rfind('/'));
  return FsyncDirectory(dir.empty() ? "/" : dir);
}

bool MakeDirs(const std::string& dir) {
  if (dir.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

static bool SameEndpoint(const sockaddr_storage& addr, const std::string& text, int port) {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    if (ntohs(in->sin_port) != port) return false;
    inet_ntop(AF_INET, &in->sin_addr, buffer, sizeof buffer);
  } else if (addr.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    if (ntohs(in6->sin6_port) != port) return false;
    inet_ntop(AF_INET6, &in6->sin6_addr, buffer, sizeof buffer);
  } else {
    return false;
  }
  return text.empty() || text == buffer;
}

static bool IsConnection(int fd, const std::string& peerAddr, int peerPort, int localPort) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  sockaddr_storage peer {}, local {};
  socklen_t peerLen = sizeof peer, localLen = sizeof local;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) return false;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) return false;
  return SameEndpoint(peer, peerAddr, peerPort) && SameEndpoint(local, "", localPort);
}

int FindConnectionSocket(const std::string& peerAddr, int peerPort, int localPort) {
  // A connection is served by one thread from start to end, so the socket
  // this thread found last is most likely the one asked for again.
  thread_local int last = -1;
  if (last >= 0 && IsConnection(last, peerAddr, peerPort, localPort)) return last;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end || fd == ::dirfd(dir)) continue;
    if (IsConnection(int(fd), peerAddr, peerPort, localPort)) {
      found = int(fd);
      break;
    }
  }
  ::closedir(dir);
  last = found;
  return found;
}

bool BreakConnection(const std::string& peerAddr, int peerPort, int localPort) {
  int fd = FindConnectionSocket(peerAddr, peerPort, localPort);
  if (fd < 0) return false;
  // Dropping unread data makes the kernel answer with a reset, as a crash would.
  linger lg {1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::shutdown(fd, SHUT_RDWR);
  return true;
}

bool IsLoopbackAddress(const std::string& addr) {
  return addr == "::1" || addr.rfind("127.", 0) == 0 || addr.rfind("::ffff:127.", 0) == 0;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

std::string ContentTypeForName(std::string_view name) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {"txt", "text/plain"}, {"log", "text/plain"}, {"md", "text/markdown"}, {"csv", "text/csv"},
      {"htm", "text/html"}, {"html", "text/html"}, {"css", "text/css"}, {"js", "text/javascript"},
      {"mjs", "text/javascript"}, {"json", "application/json"}, {"xml", "application/xml"},
      {"pdf", "application/pdf"}, {"rtf", "application/rtf"},
      {"png", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"gif", "image/gif"},
      {"webp", "image/webp"}, {"svg", "image/svg+xml"}, {"ico", "image/vnd.microsoft.icon"}, {"bmp", "image/bmp"},
      {"tif", "image/tiff"}, {"tiff", "image/tiff"}, {"avif", "image/avif"},
      {"mp3", "audio/mpeg"}, {"wav", "audio/wav"}, {"ogg", "audio/ogg"}, {"oga", "audio/ogg"},
      {"flac", "audio/flac"}, {"m4a", "audio/mp4"}, {"opus", "audio/opus"},
      {"mp4", "video/mp4"}, {"m4v", "video/mp4"}, {"webm", "video/webm"}, {"mkv", "video/x-matroska"},
      {"avi", "video/x-msvideo"}, {"mov", "video/quicktime"}, {"mpeg", "video/mpeg"}, {"mpg", "video/mpeg"},
      {"zip", "application/zip"}, {"gz", "application/gzip"}, {"tgz", "application/gzip"},
      {"bz2", "application/x-bzip2"}, {"xz", "application/x-xz"}, {"zst", "application/zstd"},
      {"tar", "application/x-tar"}, {"7z", "application/x-7z-compressed"}, {"rar", "application/vnd.rar"},
      {"doc", "application/msword"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xls", "application/vnd.ms-excel"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"ppt", "application/vnd.ms-powerpoint"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
      {"odt", "application/vnd.oasis.opendocument.text"},
      {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
      {"odp", "application/vnd.oasis.opendocument.presentation"},
      {"epub", "application/epub+zip"}, {"wasm", "application/wasm"},
      {"exe", "application/vnd.microsoft.portable-executable"},
      {"dll", "application/vnd.microsoft.portable-executable"}, {"msi", "application/x-msi"},
      {"iso", "application/x-iso9660-image"}, {"deb", "application/vnd.debian.binary-package"},
      {"apk", "application/vnd.android.package-archive"},
  };
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return "application/octet-stream";
  std::string ext(name.substr(dot + 1));
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  for (const auto& [e, type] : kTypes)
    if (ext == e) return type;
  return "application/octet-stream";
}

}  // namespace chunkup::service
