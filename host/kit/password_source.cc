#include "host/kit/password_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qrv::host {

namespace {

constexpr size_t kMaxPassword = 31;  // the plug-in's 32-byte field with its terminator
constexpr size_t kMaxSecretRead = 4096;

}  // namespace

std::optional<std::string> PasswordLine(std::string_view content, std::string* why) {
  // One trailing line end is the editor's (or echo's), not the password's.
  if (content.ends_with('\n')) content.remove_suffix(1);
  if (content.ends_with('\r')) content.remove_suffix(1);
  if (content.empty()) {
    *why = "is empty";
    return std::nullopt;
  }
  if (content.find_first_of(std::string_view("\0\n\r", 3)) != std::string_view::npos) {
    *why = "must hold one line";
    return std::nullopt;
  }
  if (content.size() > kMaxPassword) {
    *why = "holds more than 31 bytes";
    return std::nullopt;
  }
  return std::string(content);
}

PasswordChoice ChoosePassword(const PasswordSources& sources, const std::string& fallback,
                              const SecretReader& read) {
  PasswordChoice choice;
  if (sources.file && sources.argument) {
    choice.error = "give --password or --password-file, not both";
    return choice;
  }
  auto fromReader = [&](const std::string& path, const std::string& name) {
    std::string why;
    auto content = read(path, &why);
    if (content) content = PasswordLine(*content, &why);
    if (!content) choice.error = name + " " + why;
    choice.password = std::move(content);
  };
  if (sources.file) {
    fromReader(*sources.file, "--password-file " + *sources.file);
  } else if (sources.argument && *sources.argument == "-") {
    fromReader("", "--password - (standard input)");
  } else if (sources.argument) {
    choice.password = *sources.argument;
  } else if (sources.environment) {
    std::string why;
    choice.password = PasswordLine(*sources.environment, &why);
    if (!choice.password) choice.error = std::string(kPasswordVariable) + " " + why;
  } else {
    choice.password = fallback;
  }
  return choice;
}

std::optional<std::string> ReadSecret(const std::string& path, std::string* why) {
  FILE* file = path.empty() ? stdin : std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    *why = std::string("cannot be read: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::string content;
  if (file == stdin) {
    // One line: typed at a terminal, Enter ends it.
    for (int c = 0; content.size() <= kMaxSecretRead && (c = std::getc(file)) != EOF;) {
      content += static_cast<char>(c);
      if (c == '\n') break;
    }
  } else {
    char buffer[512];
    size_t n = 0;
    while (content.size() <= kMaxSecretRead && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
      content.append(buffer, n);
  }
  const bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (failed) {
    *why = "read error";
    return std::nullopt;
  }
  return content;
}

}  // namespace qrv::host
