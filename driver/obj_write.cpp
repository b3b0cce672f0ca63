// OBJ writer.
#include <cstdio>

#include "driver.h"

int obj_write(const char* path, const geom* g)
{
    FILE* file = std::fopen(path, "w");
    if (!file) return 0;
    std::fprintf(file, "# Vertices %lld\n", (long long)g->n_vertices);
    for (uint64_t i = 0; i < g->n_vertices; ++i)
        std::fprintf(file, "v %f %f %f\n", double(g->x[i]), double(g->y[i]), double(g->z[i]));
    std::fprintf(file, "\n# Triangles %lld\n", (long long)g->n_faces);
    for (uint64_t i = 0; i < g->n_faces; ++i) {
        if (geom_face_size(g) == 4)
            std::fprintf(file, "f %lld %lld %lld %lld\n", (long long)g->corner0[i] + 1,
                         (long long)g->corner1[i] + 1, (long long)g->corner2[i] + 1,
                         (long long)g->corner3[i] + 1);
        else
            std::fprintf(file, "f %lld %lld %lld\n", (long long)g->corner0[i] + 1,
                         (long long)g->corner1[i] + 1, (long long)g->corner2[i] + 1);
    }
    std::fclose(file);
    return 1;
}
