#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The rows (or columns) [first, end) of a coarser level `coarseLength` long that pyrUp to a
// finer level `fineLength` long reads for the finer [fineFirst, fineEnd), and the length
// `pulledUp` pyrUp must give that crop: an even fine pixel reads the coarse one under it and
// one on each side, an odd one the two around it, and the crop takes one more on each side,
// whose pulled-up pixels see the crop's cut edge and are not used. The crop pulls up to twice
// its length, unless it reaches the level's end, where the finer length rules. Fine pixel i
// lies at i - 2 * first in the pulled-up crop.
struct CoarseSpan {
  int first, end, pulledUp;
};
CoarseSpan coarseSpanOf(int fineFirst, int fineEnd, int coarseLength, int fineLength);

// Rows [y0, y1) of pyrUp(coarse) to `fineSize`, pulled up from only the coarse rows they read:
// OpenCV's pyrUp makes each row from the coarse rows around it by the same operations, whatever
// lies beyond them, so the rows are the whole's bytes. `up` receives the pulled-up crop; the
// result is a view into it.
cv::Mat pulledUpRows(const cv::Mat& coarse, cv::Size fineSize, int y0, int y1, cv::Mat& up);

// Laplacian pyramid of `source` with n band levels into out (n + 1 entries). An 8-bit source
// gives 16-bit signed bands and a 16-bit signed coarsest level; any other depth is
// decomposed in its own depth and in place: out[0] shares the source's pixels, so the
// source ends up holding band 0 (pass a copy when the source is still needed).
void buildLaplacianPyramid(const cv::Mat& source, int n, std::vector<cv::Mat>& out);

// Gaussian pyramid of an 8-bit weight: entry 0 the weight itself, entry l + 1 pyrDown of
// entry l; n + 1 entries.
void buildWeightPyramid(const cv::Mat& weight, int n, std::vector<cv::Mat>& out);

// Adds the bands back together: for l = n - 1 down to 0, band l += pyrUp(band l + 1)
// (saturating 16-bit signed). bands[0] then holds the image.
void collapseLaplacianPyramid(std::vector<cv::Mat>& bands);

// The part `window` (level-0 pixels) of what collapseLaplacianPyramid would leave in
// bands[0], without changing the bands: each coarser level is added up only over what the
// finer one reads, which gives the same sums (OpenCV's 16-bit pyrUp is exact integer
// arithmetic, and every cut edge lies a pixel beyond what is kept).
cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Rect& window);

// The same, with level 0 given only over the window: `finest` holds the window's own pixels,
// at `at` in a level 0 of `finestSize`; bands[0] is not read (it may be empty). A tile's
// mosaic then needs no level-0 copy around the tile.
cv::Mat collapsedWindow(const std::vector<cv::Mat>& bands, const cv::Mat& finest,
                        cv::Size finestSize, cv::Point at);
