// The private site the Apache integration tests run against: logon-broker, a proxy echo backend
// and Apache with the module, started once per test program by the harness script and stopped at
// program exit.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

namespace tokengate::apache::testing {

namespace fs = std::filesystem;

inline std::string Capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    return {};
  }
  std::string out;
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    out.append(buffer, n);
  }
  return out;
}

inline std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

// The running site; started by the first test that needs it, stopped at program exit.
class Site {
 public:
  // The site of this test program; `environment` ("NAME=value ..." for the harness) is read by
  // the first call only.
  static Site* Instance(const std::string& environment = {}) {
    static Site site(environment);
    return site.ready_ ? &site : nullptr;
  }
  // A site of its own, for programs that need several (different environments); stopped when
  // the result goes away. Null when it did not start.
  static std::unique_ptr<Site> Start(const std::string& environment) {
    auto site = std::make_unique<Site>(Key{}, environment);
    return site->ready_ ? std::move(site) : nullptr;
  }
  static std::string SkipReason() {
    if (!fs::exists("/usr/sbin/apache2")) {
      return "apache2 is not installed";
    }
    if (!fs::exists(fs::path(TG_BUILD_DIR) / "modules/mod_tokengate.so")) {
      return "mod_tokengate.so is not built";
    }
    if (!fs::exists(fs::path(TG_BUILD_DIR) / "bin/logon-broker") ||
        !fs::exists(fs::path(TG_BUILD_DIR) / "bin/tokengate")) {
      return "logon-broker and tokengate must be built";
    }
    return {};
  }

  ~Site() {
    if (!work_.empty()) {
      Harness("down");
      std::error_code ec;
      fs::remove_all(work_, ec);
    }
  }

  int Harness(const std::string& command, const std::string& env = {}) const {
    const std::string line = env + " TG_BUILD='" TG_BUILD_DIR "' TG_WORK='" + work_ + "' bash '" +
                             TG_HARNESS + "' " + command + " >>'" + work_ + "/harness.log' 2>&1";
    return std::system(line.c_str());
  }

  std::string Token(const std::string& attributes, const std::string& command = "token") const {
    return Trim(Capture("TG_BUILD='" TG_BUILD_DIR "' TG_WORK='" + work_ + "' bash '" + TG_HARNESS +
                        "' " + command + " " + attributes));
  }

  // A token that expired a moment ago: issued with a lifetime of one second.
  std::string ExpiredToken() const {
    const std::string props = work_ + "/short-lived.txt";
    std::ifstream in(properties_);
    std::ofstream out(props);
    for (std::string line; std::getline(in, line);) {
      out << (line.starts_with("TokenLifetime=") ? "TokenLifetime=1" : line) << "\n";
    }
    out.close();
    const std::string token =
        Trim(Capture(tokengate_ + " token issue --config " + props + " subject=alice 2>/dev/null"));
    ::sleep(2);
    return token;
  }

  std::string ErrorLog() const {
    std::ifstream in(errorLog_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  const std::string& Work() const { return work_; }
  const std::string& Properties() const { return properties_; }
  const std::string& TokengateBinary() const { return tokengate_; }

  int port = 0;
  int offPort = 0;
  int backendPort = 0;
  int siteBPort = 0;  // the second site (TG_SECOND_SITE=1), else 0

  // A value of the harness's env file (GATE_CONF, GATE_CONF_B, ...).
  std::string Value(const std::string& name) const {
    const auto it = values_.find(name);
    return it != values_.end() ? it->second : std::string();
  }

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  Site(Key, const std::string& environment) : Site(environment) {}

 private:
  explicit Site(const std::string& environment) : environment_(environment) {
    char dir[] = "/tmp/tg-apache-it-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
      return;
    }
    work_ = dir;
    if (Harness("up", environment_) != 0) {
      std::fprintf(stderr, "%s", Capture("cat '" + work_ + "/harness.log'").c_str());
      return;
    }
    std::ifstream env(work_ + "/env");
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(env, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) {
        values[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    port = std::stoi(values["PORT"]);
    offPort = std::stoi(values["OFF_PORT"]);
    backendPort = std::stoi(values["BACKEND_PORT"]);
    siteBPort = std::stoi(values["SITE_B_PORT"]);
    values_ = values;
    errorLog_ = values["ERROR_LOG"];
    properties_ = values["PROPERTIES"];
    tokengate_ = values["TOKENGATE"];
    ready_ = true;
  }

  std::string environment_;
  std::map<std::string, std::string> values_;
  std::string work_;
  std::string errorLog_;
  std::string properties_;
  std::string tokengate_;
  bool ready_ = false;
};

}  // namespace tokengate::apache::testing
