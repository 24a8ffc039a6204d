// Heap use of the whole process: the benchmark replaces malloc and its companions with thin
// wrappers around the C library's allocator that add up the usable size of every live block.
// The decoders, libpng, CharLS and the C++ runtime all allocate through them.
#pragma once

namespace pqz::bench {

// False when the program is built without the counter (sanitizer builds replace malloc
// themselves); the figures below are then 0.
bool heapCounting();

// Bytes of live heap blocks now.
long long heapInUse();

// Starts a new peak at the current level and returns that level.
long long heapResetPeak();

// Highest level since the last heapResetPeak.
long long heapPeak();

}  // namespace pqz::bench
