#include "georeferencing_front_end.h"

#include "chain/chain_factories.h"
#include "framework/log.h"

#include <nlohmann/json.hpp>

#include <exception>

// The front end "legacy_sfm". Its configuration may name a work folder ("work_dir") for the
// pose file and override refinement settings in "specific" (see refinement_options.h); its
// other members are not used. The messenger and the log sinks are the
// process-wide ones, since the front end is linked into the program.
std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* chain,
                                            void* messenger, void* logSinks) {
  (void)messenger;
  (void)logSinks;
  if (!chain) {
    FW_LOG(fw::kLogError) << "The front end needs a chain to send its located frames to.";
    return nullptr;
  }
  sfm::FrontEndOptions options;
  try {
    const nlohmann::json doc = nlohmann::json::parse(config);
    if (!doc.is_object()) throw std::invalid_argument("not a JSON object");
    const auto work_dir = doc.find("work_dir");
    if (work_dir != doc.end() && work_dir->is_string())
      options.work_dir = work_dir->get<std::string>();
    const auto specific = doc.find("specific");
    if (specific != doc.end()) applySpecific(*specific, &options.refinement);
    options.check();
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Invalid front-end configuration: " << e.what();
    return nullptr;
  }
  if (options.work_dir.empty()) {
    FW_LOG(fw::kLogWarning) << "The front-end configuration names no work_dir: located poses are "
                               "not written to a file.";
  }
  return std::make_shared<sfm::GeoreferencingFrontEnd>(chain, options);
}
