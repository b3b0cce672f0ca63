// What the iteration loops of both schemes share.
#pragma once

#include "geom.h"
#include "mesh.h"

// The end of one iteration of a subdivision loop: prints "Finished iteration
// vertices N -> M" on stderr, releases the input pair (its geometry only when
// owned, never the caller's arrays) and moves the output pair into its place.
void iteration_advance(geom* geom_in, mesh* mesh_in, const geom* geom_out, const mesh* mesh_out,
                       bool owned);
