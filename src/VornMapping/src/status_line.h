#pragma once

#include "vorn_mapper.h"

#include <string>

// One status line (without the line end): {"output": [records] or null,
// "progress": {"total": <root progress>}, "state": <state>}, with "summary": <text> once
// the run has ended (what it made and lost). Records the writer
// does not accept are left out. When a record cannot be written, the line still
// carries the state and progress, with "output" null, so no state is lost.
std::string statusLine(const MapperStatus& status);
