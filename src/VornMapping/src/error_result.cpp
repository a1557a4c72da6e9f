#include "error_result.h"

#include <cstdlib>
#include <iostream>

void printResultAndExit(int status, const nlohmann::json& result) {
  std::cout.flush();
  std::cerr << result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
  std::cerr.flush();
  std::exit(status);
}
