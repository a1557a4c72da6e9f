#pragma once

// The system clock in seconds with millisecond resolution. Every progress time and
// output record time of the program comes from here, so they compare with each other.
double currentTimeSeconds();
