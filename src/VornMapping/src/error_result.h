#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

// A fatal input error found before the run: ends the process with a JSON error
// result {"code": <negative code>, "message": <text>}.
class StartupError : public std::runtime_error {
 public:
  StartupError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }
  nlohmann::json result() const { return nlohmann::json{{"code", code_}, {"message", what()}}; }

 private:
  int code_;
};

// Writes the result as compact JSON and a newline to the standard error stream and
// ends the process with the given exit status.
[[noreturn]] void printResultAndExit(int status, const nlohmann::json& result);
