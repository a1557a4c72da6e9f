#include "src/PointsFusion/src/stereo_dense/dense_depth_options.h"

#include "framework/config_store.h"
#include "framework/log.h"
#include "framework/thread_limit.h"

#include <algorithm>
#include <stdexcept>
#include <string>

DenseDepthOptions DenseDepthOptions::fromConfig() {
  fw::Var& config = fw::Var::instance();
  DenseDepthOptions o;
  o.threads = *config.GetInt("pointsfusion.dense_thread_num", o.threads);
  o.method = *config.GetInt("pointsfusion.dense_method", o.method);
  o.cloneFrame = *config.GetInt("pointsfusion.clone_frame", 0) != 0;
  o.searchRangeFactor = *config.GetDouble("pointsfusion.search_range_factor", o.searchRangeFactor);
  o.mend();
  o.check();
  return o;
}

void DenseDepthOptions::mend() {
  const int most = fw::maxThreadSetting();
  const int clamped = std::clamp(threads, 1, most);
  if (clamped != threads) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.dense_thread_num " << threads << " is out of 1.."
                            << most << "; using " << clamped << ".";
    threads = clamped;
  }
}

void DenseDepthOptions::check() const {
  const int most = fw::maxThreadSetting();
  if (threads < 1 || threads > most) {
    throw std::invalid_argument("pointsfusion.dense_thread_num must be from 1 to " +
                                std::to_string(most) + ", not " + std::to_string(threads));
  }
}
