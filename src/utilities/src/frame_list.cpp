#include "frame_list.h"

#include "frame_document.h"

#include "framework/bounded_json.h"

#include <stdexcept>
#include <string>

namespace {

std::runtime_error notAList() {
  return std::runtime_error("the frame list is not an array of frame documents");
}

}  // namespace

void readFrameList(const std::vector<unsigned char>& text,
                   const std::function<void(const nlohmann::json&)>& take) {
  using Event = nlohmann::json::parse_event_t;
  size_t documents = 0;
  bool isArray = false;
  bool documentIsObject = false;
  // Depth 0 is the list, 1 a document, 2 its members, 3 the members of its groups.
  auto keep = [&](int depth, Event event, nlohmann::json& value) {
    fw::checkJsonDepth(depth);
    if (depth == 0) {
      if (event == Event::array_start) isArray = true;
      if (event == Event::value && !value.is_null()) throw notAList();
      return true;
    }
    // An empty object holds no document, like null; a member makes it a document, not a list.
    if (!isArray) throw notAList();
    if (depth == 1) {
      if (event == Event::array_start || event == Event::object_start) {
        documentIsObject = event == Event::object_start;
        return true;
      }
      if (event != Event::value && event != Event::array_end && event != Event::object_end)
        return true;
      if (++documents > kMaxFrameListDocuments) {
        throw std::runtime_error("the frame list holds more than " +
                                 std::to_string(kMaxFrameListDocuments) + " documents");
      }
      take(value);
      return false;  // the document is done with: it is not kept in the list
    }
    // Inside a document. An array is no frame document: nothing of it is kept.
    if (!documentIsObject) return false;
    if (event == Event::key) return isFrameDocumentMember(depth - 1, value.get<std::string>());
    // A document's members are numbers, texts or groups of them: nothing deeper is read.
    if (event == Event::array_start) return false;
    if (event == Event::object_start) return depth == 2;
    return true;
  };
  nlohmann::json::parse(text.begin(), text.end(), keep, /*allow_exceptions=*/true,
                        /*ignore_comments=*/false);
}
