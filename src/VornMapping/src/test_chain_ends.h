#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Test doubles of the chain's two ends, built into the mapping tests and the test variant of
// the mapping executable in place of the real ends. Both read their chain item's "config":
//   "throw_on_create": text  - the factory throws with this reason;
//   "frame_delay_ms": number - the front end takes this long to take each frame;
//   "throw_on_add": true     - the front end throws from addFrame (a failing end);
//   "throw_on_frame": true   - the back end throws from fuseFrame;
//   "throw_on_map": true     - the back end throws from fuseMap;
//   "hold_first_until_located": number - the back end takes the first frame only once the
//                              front end has located this many (it gives up after 20 s):
//                              a mapper that feeds the back end on the locating thread never
//                              gets there;
//   "tiles_per_frame": number - with terrain fusion settings ("legacy_tf"), the DOM and the DSM
//                              tiles the back end counts in the run's tally per frame (1); each
//                              frame is counted in "frames in the DOM/DSM" too,
//   "uncounted_frames": number - but as many of the first frames are not (frames lost silently);
//   "leave_temporary": true  - the back end leaves a temporary file of an interrupted write,
//                              "<dense location>/0/0.pnts.<process id>.tmp";
//   "idle_record": true      - the back end also reports a record "idle_points" that nothing
//                              is ever written to (state -1), as a product whose frames all fail;
//   "flush_until_signal": true - the back end's release logs "Test back end: flushing" and then
//                              waits for a stop signal (it gives up after 20 s), as a final flush
//                              that a signal interrupts.
// The front end locates every frame on a worker thread of its own ("frame_located"), reports
// "Locate" progress, and delivers one map of all frames from finishInput ("map_located"). The
// back end records what it receives and reports one point-cloud record while it works; given
// terrain fusion settings it counts tiles as the real terrain stage does.

// What the doubles saw, for the tests to check after a run.
struct ChainEndsRecord {
  int frontEndFrameCount = -1;
  int backEndExpectedFrames = -1;
  std::vector<std::uint64_t> framesAdded;    // identifiers, in feeding order
  std::vector<bool> framesHadImages;         // whether each had pixels when added
  std::vector<std::string> frameNames;       // the frames' names when added
  std::vector<std::uint64_t> framesFused;    // identifiers reaching the back end
  std::vector<std::uint64_t> framesLocated;  // identifiers the mapper has taken from the front end
  bool firstFuseHeldInVain = false;          // "hold_first_until_located" gave up
  std::vector<int> mapsFused;                // frame count of each map reaching the back end
  bool finishInputCalled = false;
  std::vector<std::string> releaseOrder;  // "front_end", "back_end"
};

// A copy of the record of the ends created since the last reset.
ChainEndsRecord chainEndsRecord();
void resetChainEndsRecord();
