// Sets or clears one environment variable for the life of a test and puts the
// old state back afterwards. Only for tests that run no requests on other
// threads while it changes the environment.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace chunkup::testing {

class EnvGuard {
 public:
  EnvGuard(const char* name, std::optional<std::string> value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    Set(value);
  }
  ~EnvGuard() { Set(m_old); }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(m_name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(m_name.c_str());
    }
  }
  std::string m_name;
  std::optional<std::string> m_old;
};

inline std::optional<std::string> EnvValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace chunkup::testing
