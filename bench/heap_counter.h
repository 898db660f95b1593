// Counts the heap bytes the process holds: this executable's malloc family stands in for the C
// library's (hands each call on to it) and keeps the running total and its high-water mark.
// Every library in the process (OpenCV, the codecs, the C++ runtime) allocates through it.
#ifndef EPDSHOW_HEAP_COUNTER_H
#define EPDSHOW_HEAP_COUNTER_H

#include <cstddef>

namespace heap_counter {

// Bytes held now (usable size of every live block).
std::size_t in_use();
// The most held at once since the last reset_peak().
std::size_t peak();
void reset_peak();

} // namespace heap_counter

#endif
