#pragma once

#include "frame_features.h"
#include "refinement_options.h"

#include "framework/gimage.h"

#include <future>
#include <vector>

namespace sfm {

// Takes a frame's features (extractFeatures under the calibration `calibration`, of an image
// decoded reduced by `reduction`) on a thread
// of its own, so that the thread refining the frames before it goes on meanwhile; on the
// caller's thread, when the result is asked for, where no other thread can be started. The
// features are the same either way; an exception of the extraction is thrown by the
// future's get(). Borrowed pixels are copied first; owned ones are shared.
std::future<FrameFeatures> extractFeaturesAhead(const fw::GImage& image,
                                                std::vector<double> calibration,
                                                const RefinementOptions& options,
                                                int reduction = 1);

}  // namespace sfm
