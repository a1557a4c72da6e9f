// libFuzzer harness for the JSON reader: any byte string must either give a value, give
// Undefined or throw VarException; a value read must print and its text must read again
// without any other failure. Sanitizers report memory and undefined-behaviour faults.
#include "values/json.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sv::Var value;
  try {
    value = sv::Json::load(text);
  } catch (const sv::VarException&) {
    return 0;
  }
  const std::string printed = sv::Json::dump(value);
  try {
    sv::Json::load(printed);
  } catch (const sv::VarException&) {
    // Printing is not strict JSON (an infinity prints as -inf); only a crash matters here.
  }
  return 0;
}
