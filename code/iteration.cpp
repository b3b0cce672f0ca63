// The end of one iteration of a subdivision loop.
#include "iteration.h"

#include <cstdio>



void iteration_advance(geom* geom_in, mesh* mesh_in, const geom* geom_out, const mesh* mesh_out,
                       bool owned)
{
    std::fprintf(stderr, "Finished iteration vertices %llu -> %llu\n",
                 (unsigned long long)geom_in->n_vertices, (unsigned long long)geom_out->n_vertices);
    mesh_free(mesh_in);
    if (owned) geom_free(geom_in);
    *geom_in = *geom_out;
    *mesh_in = *mesh_out;
}

