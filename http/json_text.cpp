#include "http/json_text.h"

#include <json/writer.h>

namespace chunkup {
namespace {

void AppendQuoted(std::string& out, const char* begin, const char* end) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += '"';
  for (const char* p = begin; p != end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const Json::Value& value) {
  switch (value.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
    case Json::intValue: out += std::to_string(value.asLargestInt()); break;
    case Json::uintValue: out += std::to_string(value.asLargestUInt()); break;
    case Json::realValue: {
      // Numbers keep jsoncpp's own spelling; only strings differ.
      std::string text = Json::FastWriter().write(value);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      out += text;
      break;
    }
    case Json::stringValue: {
      const char* begin = nullptr;
      const char* end = nullptr;
      value.getString(&begin, &end);
      AppendQuoted(out, begin, end);
      break;
    }
    case Json::arrayValue: {
      out += '[';
      for (Json::ArrayIndex i = 0; i < value.size(); ++i) {
        if (i) out += ',';
        AppendValue(out, value[i]);
      }
      out += ']';
      break;
    }
    case Json::objectValue: {
      out += '{';
      bool first = true;
      // Iteration follows the member map, which is ordered by name bytes.
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ',';
        first = false;
        const char* nameEnd = nullptr;
        const char* name = it.memberName(&nameEnd);
        AppendQuoted(out, name, nameEnd);
        out += ':';
        AppendValue(out, *it);
      }
      out += '}';
      break;
    }
  }
}

}  // namespace

std::string CompactJsonText(const Json::Value& document) {
  std::string out;
  AppendValue(out, document);
  out += '\n';
  return out;
}

}  // namespace chunkup
