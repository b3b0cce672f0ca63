// Helpers shared by the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// True when an "mtllib" in the data is followed by blanks and a "/": such a
// library would be opened outside the (missing) folder the fuzzers name, so
// the targets pass over such inputs and never read a real file.
inline bool names_absolute_library(const uint8_t* data, size_t size)
{
    for (size_t i = 0; i + 6 < size; ++i) {
        if (std::memcmp(data + i, "mtllib", 6) != 0) continue;
        size_t j = i + 6;
        while (j < size && (data[j] == ' ' || data[j] == '\t')) ++j;
        if (j < size && data[j] == '/') return true;
    }
    return false;
}
