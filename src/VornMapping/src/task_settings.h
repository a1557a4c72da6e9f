#pragma once

#include <nlohmann/json.hpp>

#include <string>

// Checks the settings of a task whose "dense", "dom" and "dsm" members the chain configuration
// has completed with the defaults, before any work: every setting the run reads must have the
// type and a value the run can honour, and every path setting must be a text without a NUL
// byte (a C string would end at it and name another file). Returns the first problem, naming
// the key ("dom.tiling.storage must be 1 (tile files) or 2 (MBTiles), not \"1\""); empty when
// every setting can be honoured. Thread counts and budgets that a stage would take from an
// environment variable of the same name when the task leaves them out are checked there too.
// `givenTask` is the task as it came, before the completion.
std::string taskSettingsProblem(const nlohmann::json& completedTask,
                                const nlohmann::json& givenTask);
