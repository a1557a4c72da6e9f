#include "framework/config_loading.h"

#include "framework/log.h"

#include <exception>

namespace fw {

void loadConfigIntoVar(const nlohmann::json& value, Var& store, const std::string& prefix) {
  if (!value.is_object()) return;
  for (auto it = value.begin(); it != value.end(); ++it) {
    const std::string name = prefix + it.key();
    const nlohmann::json& member = it.value();
    if (member.is_object()) {
      loadConfigIntoVar(member, store, name + ".");
      continue;
    }
    std::string text;
    if (member.is_string()) {
      text = member.get<std::string>();
    } else if (member.is_boolean()) {
      text = member.get<bool>() ? "1" : "0";
    } else {
      text = member.dump();
    }
    try {
      store.setText(name, text, true);
    } catch (const std::exception& e) {
      FW_LOG(kLogWarning) << "loadConfigIntoVar: " << name << " keeps its value, \"" << text
                          << "\" does not fit it: " << e.what();
    }
  }
}

}  // namespace fw
