// A minimal JSON writer for the tool's --json output: objects and arrays of
// texts, integers, reals and booleans, built in order and printed once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qrv::host {

inline std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

class JsonArray;

class JsonObject {
 public:
  JsonObject& Text(const std::string& key, const std::string& value) {
    return Raw(key, JsonQuote(value));
  }
  JsonObject& Int(const std::string& key, int64_t value) { return Raw(key, std::to_string(value)); }
  JsonObject& Real(const std::string& key, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return Raw(key, text);
  }
  JsonObject& Bool(const std::string& key, bool value) {
    return Raw(key, value ? "true" : "false");
  }
  JsonObject& Object(const std::string& key, const JsonObject& value) {
    return Raw(key, value.Str());
  }
  inline JsonObject& Array(const std::string& key, const JsonArray& value);
  JsonObject& Raw(const std::string& key, const std::string& json) {
    body_ += (body_.empty() ? "" : ",") + JsonQuote(key) + ":" + json;
    return *this;
  }
  std::string Str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

class JsonArray {
 public:
  JsonArray& Add(const JsonObject& value) { return Raw(value.Str()); }
  JsonArray& Raw(const std::string& json) {
    body_ += (body_.empty() ? "" : ",") + json;
    return *this;
  }
  std::string Str() const { return "[" + body_ + "]"; }

 private:
  std::string body_;
};

inline JsonObject& JsonObject::Array(const std::string& key, const JsonArray& value) {
  return Raw(key, value.Str());
}

}  // namespace qrv::host
