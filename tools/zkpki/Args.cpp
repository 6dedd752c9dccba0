#include "Args.h"

#include <algorithm>

namespace zkpki {

Args::Args(const std::vector<std::string>& words, std::initializer_list<OptSpec> specs) {
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() < 3 || w.compare(0, 2, "--") != 0)
      throw UsageError("unexpected argument '" + w + "'");
    std::string name = w.substr(2);
    std::optional<std::string> inline_value;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inline_value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto known = std::find_if(specs.begin(), specs.end(),
                             [&](const OptSpec& s) { return s.name == name; });
    if (known == specs.end()) throw UsageError("unknown option --" + name);
    if (values_.count(name)) throw UsageError("option --" + name + " given twice");
    if (!known->takesValue) {
      if (inline_value) throw UsageError("option --" + name + " takes no value");
      values_[name] = "";
    } else if (inline_value) {
      values_[name] = *inline_value;
    } else {
      if (i + 1 >= words.size()) throw UsageError("option --" + name + " needs a value");
      values_[name] = words[++i];
    }
  }
}

bool Args::has(std::string_view name) const { return values_.find(name) != values_.end(); }

std::optional<std::string> Args::value(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

std::string Args::valueOr(std::string_view name, std::string fallback) const {
  auto v = value(name);
  return v ? *v : std::move(fallback);
}

std::string Args::required(std::string_view name) const {
  auto v = value(name);
  if (!v) throw UsageError("option --" + std::string(name) + " is required");
  return *v;
}

}  // namespace zkpki
