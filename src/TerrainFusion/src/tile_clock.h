#pragma once

// The one clock of the tile work: every tile stamp and the cache trimming bound read it, so
// that stamps and bounds compare. Seconds of the steady clock (never goes back).
double tileClockSeconds();
