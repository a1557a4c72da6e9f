#pragma once

// Processor features the codec's vector paths depend on. Until detectCpuFeatures has
// run, every flag reads false and all routines take their plain paths.
struct ProcessorFeatures {
  bool sse = false;
  bool sse2 = false;
  bool sse3 = false;
  bool ssse3 = false;
  bool sse41 = false;
  bool sse42 = false;
  bool pclmulqdq = false;
  bool avx = false;
  bool avx2 = false;
};

// Queries the processor once; later calls return at once.
void detectCpuFeatures();

// The features currently recorded.
ProcessorFeatures processorFeatures();

// Replaces the recorded features until the next call (tests use it to force the plain
// paths, or the vector paths where the processor has them).
void setProcessorFeatures(const ProcessorFeatures& features);

// The dispatch decisions of the checksums, read on every call.
bool crcUsesCarrylessMultiply();
bool adlerUsesVectorLoop();
