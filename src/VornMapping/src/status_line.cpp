#include "status_line.h"

#include "chain/output_item_json.h"

#include <nlohmann/json.hpp>

namespace {

nlohmann::json statusBase(const MapperStatus& status) {
  nlohmann::json line{{"state", status.state},
                      {"progress", {{"total", status.progress.progress}}},
                      {"output", nullptr}};
  if (!status.summary.empty()) line["summary"] = status.summary;
  return line;
}

}  // namespace

std::string statusLine(const MapperStatus& status) {
  try {
    nlohmann::json line = statusBase(status);
    for (const auto& record : status.outputs) {
      nlohmann::json item;
      if (writeOutputItem(record, item)) line["output"].push_back(std::move(item));
    }
    return line.dump();
  } catch (const std::exception&) {
    return statusBase(status).dump();
  }
}
