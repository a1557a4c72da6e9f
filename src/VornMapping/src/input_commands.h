#pragma once

#include "vorn_mapper.h"

#include <string>

// Handles one line of the standard input: {"frame": "<frame document>"} goes to the
// mapper's live dataset, {"abort": true} stops the run; anything else, and any line
// that fails, is dropped without output.
void handleInputLine(const std::string& line, VornMapper& mapper);
