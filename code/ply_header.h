// PLY headers: the lines from "ply" to "end_header", read into the
// encoding, elements and properties they declare.
#pragma once

#include <cstdint>

#include "subdiv/subdiv.h"

namespace subdiv {

// How the data after the header is written.
enum ply_encoding : int32_t { ply_ascii, ply_binary_little_endian, ply_binary_big_endian };

// The scalar types of PLY (each has two spellings: "uchar" or "uint8", ...).
enum ply_type : int32_t {
    ply_int8,
    ply_uint8,
    ply_int16,
    ply_uint16,
    ply_int32,
    ply_uint32,
    ply_float32,
    ply_float64
};

// Bytes of a value of the type in binary data.
inline int ply_type_size(ply_type type)
{
    static constexpr int sizes[] = {1, 1, 2, 2, 4, 4, 4, 8};
    return sizes[type];
}

// Whether the type holds integers (all but float32 and float64).
inline bool ply_type_is_integer(ply_type type) { return type < ply_float32; }

// The type's name in the older spelling ("uchar", "float", ...), for messages.
const char* ply_type_name(ply_type type);

// A property of an element: a scalar, or a list of items after a count.
struct ply_property {
    const char* name;    // into the header text, not NUL-ended
    uint64_t name_length;
    ply_type type;       // a scalar's type, or a list's items' type
    ply_type count_type; // a list's count type
    bool list;
};

// An element: count records, each the values of its properties in order.
struct ply_element {
    const char* name;    // into the header text, not NUL-ended
    uint64_t name_length;
    uint64_t count;
    uint64_t first_property; // its properties in the header's property array
    uint64_t n_properties;
};

struct ply_header {
    ply_encoding encoding;
    ply_element* elements;     // in the order of the header
    uint64_t n_elements;
    ply_property* properties;  // every element's, element after element
    uint64_t n_properties;
    uint64_t length;           // bytes up to and with the end of the end_header line
};

// Whether the length bytes at text start with the line "ply" (ended by LF
// or CR LF): the mark of a PLY file, whatever its name.
bool ply_detect(const char* text, uint64_t length);

// Reads the header at the start of the length bytes at text into *header,
// whose names point into text: the line "ply", one "format ascii|
// binary_little_endian|binary_big_endian 1.0" line before the first element,
// "element NAME COUNT" lines each followed by its "property TYPE NAME" and
// "property list COUNT_TYPE ITEM_TYPE NAME" lines, and "end_header";
// "comment" and "obj_info" lines and empty lines anywhere. Lines may end
// with CR LF. Returns subdiv_ok, or with *header cleared and *error filled
// (naming the file name and the header's line): subdiv_error_syntax or
// subdiv_error_memory.
subdiv_status ply_header_parse(const char* name, const char* text, uint64_t length,
                               ply_header* header, subdiv_error* error);

// Releases the arrays of *header and clears it.
void ply_header_free(ply_header* header);

// Whether the name of length bytes at name is the NUL-ended word.
bool ply_name_is(const char* name, uint64_t length, const char* word);

} // namespace subdiv
