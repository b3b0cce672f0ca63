// The material library reader: the materials of an MTL file.
#pragma once

#include <cstdint>

#include "name_table.h"
#include "subdiv/subdiv.h"

namespace subdiv {

// One material of a library. Strings are owned, NUL-terminated, malloc'd.
struct obj_material {
    char* name;              // "newmtl" word; "" when the statement has none
    float ambient[3];        // Ka, default 0 0 0
    float diffuse[3];        // Kd, default 0 0 0
    float specular[3];       // Ks, default 0 0 0
    float transmittance[3];  // Kt, default 0 0 0
    float emission[3];       // Ke, default 0 0 0
    float shininess;         // Ns, default 1
    float refraction_index;  // Ni, default 1
    float dissolve;          // d, or 1 - Tr; default 1
    int32_t illum;           // illum, default 0
    char* ambient_map;       // map_Ka: rest of the line up to CR/LF, or null
    char* diffuse_map;       // map_Kd
    char* specular_map;      // map_Ks
    char* shininess_map;     // map_Ns
    char* bump_map;          // map_bump or bump
    char* displacement_map;  // disp
    char* alpha_map;         // map_d
};

// Reads the material library at path into *materials (an array of
// *num_materials records, null when there are none) and, when material_table
// is not null, sets each material's name in it to the material's index.
// Lines of any length are read whole. Returns subdiv_ok, or subdiv_error_read
// with *error filled ("cannot read the material library 'PATH': reason")
// when path is not a regular file of at most 64 MiB that can be read, or
// subdiv_error_memory when memory is refused; nothing is held on failure
// (names set in the table stay).
subdiv_status mtl_parse(obj_material** materials, uint64_t* num_materials, const char* path,
                        name_table* material_table, subdiv_error* error);

// Releases the name and map strings of count materials, then the array. A
// null array is left alone.
void obj_materials_free(obj_material* materials, uint64_t count);

} // namespace subdiv
