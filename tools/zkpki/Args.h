// Command-line options of one zkpki subcommand: "--name value", "--name=value"
// and bare flags. Unknown options, repeats and stray words are usage errors.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zkpki {

// A mistake in how the program was called (exit code 2).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct OptSpec {
  std::string_view name;  // without the leading "--"
  bool takesValue;
};

class Args {
 public:
  Args(const std::vector<std::string>& words, std::initializer_list<OptSpec> specs);

  bool has(std::string_view name) const;
  std::optional<std::string> value(std::string_view name) const;
  std::string valueOr(std::string_view name, std::string fallback) const;
  std::string required(std::string_view name) const;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace zkpki
