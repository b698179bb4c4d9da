// Where a host tool takes a device's password from, so that it need not sit
// on the command line (where every user sees it in the process list for the
// whole run): a file, the environment, or standard input.
//
// Threads: any; pure (reading goes through the callbacks given).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qrv::host {

// The environment variable a host tool reads the password from.
inline constexpr const char* kPasswordVariable = "QRV_PASSWORD";

// The password in a file's or standard input's content: one line, a single
// trailing line end (LF or CRLF) dropped, at most 31 bytes (the plug-in's
// field). Nothing, with *why, when it is empty or breaks those rules.
std::optional<std::string> PasswordLine(std::string_view content, std::string* why);

struct PasswordSources {
  std::optional<std::string> argument;     // --password VALUE; "-" reads standard input
  std::optional<std::string> file;         // --password-file FILE
  std::optional<std::string> environment;  // QRV_PASSWORD's value when set
};

struct PasswordChoice {
  std::optional<std::string> password;  // nothing when error is set
  std::string error;                    // names the source and what is wrong
};

// Reads a whole file, or standard input (path empty); nothing with *why.
using SecretReader =
    std::function<std::optional<std::string>(const std::string& path, std::string* why)>;

// The password from the first source given: --password-file, then
// --password (or standard input), then the environment; `fallback` when none
// is. Giving both --password and --password-file is an error.
PasswordChoice ChoosePassword(const PasswordSources& sources, const std::string& fallback,
                              const SecretReader& read);

// Reads with the real file system and standard input.
std::optional<std::string> ReadSecret(const std::string& path, std::string* why);

}  // namespace qrv::host
