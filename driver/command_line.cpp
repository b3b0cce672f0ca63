// The tool's command line.
#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

const char command_line_usage[] =
    "usage: subdiv [OPTIONS] INPUT.obj ITERATIONS OUTPUT.obj\n"
    "       subdiv        (sample job: 4 iterations of meshes/cube-quad.obj into "
    "meshes/cube-quad-1.obj)\n"
    "INPUT or OUTPUT '-' reads standard input or writes standard output.\n"
    "INPUT is OBJ or PLY (ascii or binary), told by its content; OUTPUT is binary\n"
    "PLY when its name ends in .ply, else OBJ, unless --format says.\n"
    "options:\n"
    "  --corners=sharp|smooth\n"
    "                    open meshes: whether a boundary vertex on one face keeps its\n"
    "                    position (sharp) or follows the boundary; the default is\n"
    "                    what the input's interpolateboundary tag asks, else sharp\n"
    "  --crease-angle=DEG\n"
    "                    make every edge whose two faces' normals differ by more\n"
    "                    than DEG degrees (0 < DEG < 180) infinitely sharp\n"
    "  --scheme=auto|loop|catmull-clark\n"
    "                    the scheme: auto (the default) takes Loop for a mesh of\n"
    "                    triangles only and Catmull-Clark for any other\n"
    "  --uv[=MODE]       read the faces' texture coordinates, refine them and write\n"
    "                    them (vt lines, faces v/vt). MODE, given only as --uv=MODE\n"
    "                    (--uv alone is linear and takes no next argument), says\n"
    "                    what seams and the inside do:\n"
    "                      linear             corners kept, edges midpoints\n"
    "                      boundaries         smooth inside; seams and the mesh\n"
    "                                         boundary piecewise linear\n"
    "                      corners-concave    seams smooth; kept at junctions,\n"
    "                                         darts and concave corners\n"
    "                      corners-junctions  seams smooth; kept where three or\n"
    "                                         more regions meet\n"
    "                      corners            seams smooth; kept at sharp corners\n"
    "                      smooth             as corners; a region's corner on one\n"
    "                                         face follows its seam too\n"
    "  --materials       write the material library and each face's material\n"
    "                    (mtllib, usemtl) as the input named them\n"
    "  --precision=6|shortest\n"
    "                    coordinates with six decimals (the default) or with the\n"
    "                    fewest digits that read back to the same float\n"
    "  --vertex-rule=edge-points|classic\n"
    "                    Catmull-Clark's vertex rule sums the new edge points (the\n"
    "                    default) or the old neighbours (classic, the rule of the\n"
    "                    original paper); Loop takes it and ignores it\n"
    "  --limit           write the last level's vertices at their limit positions,\n"
    "                    where endless iterations would take them\n"
    "  --normals         write the limit surface's normal at each vertex (OBJ: vn\n"
    "                    lines, faces v//v or v/vt/v with --uv; PLY: nx ny nz)\n"
    "  --format=auto|obj|ply|ply-ascii\n"
    "                    the output's format: auto (the default) by its name, OBJ\n"
    "                    text, binary PLY or ascii PLY\n"
    "  --threads=N       threads to run on, from 1; the default is every core the\n"
    "                    process may use. The output is the same for every N\n"
    "  --help            print this text\n"
    "  --version         print the version\n";

// Reads a plain decimal count from 0 to 2^31 - 1: digits only, no sign, no
// blanks, nothing after them.
static bool parse_count(const char* text, int32_t* count)
{
    if (*text == '\0') return false;
    long long value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > 2147483647) return false;
    }
    *count = int32_t(value);
    return true;
}

// What follows an option's name (option_entry.takes_value).
enum { option_flag = 0, option_value = 1, option_optional = 2 };

// One option of the command line.
struct option_entry {
    const char* name;  // without the leading "--"
    int takes_value;   // option_flag, option_value ("--name=value" or "--name value") or
                       // option_optional ("--name" or "--name=value" only)
    // Applies the option (value null when it takes none); false with the
    // reason in message for a value it does not know.
    bool (*apply)(command_line* line, const char* value, char* message, size_t size);
};

static bool option_help(command_line* line, const char*, char*, size_t)
{
    line->help = true;
    return true;
}

static bool option_version(command_line* line, const char*, char*, size_t)
{
    line->version = true;
    return true;
}

static bool option_corners(command_line* line, const char* value, char* message, size_t size)
{
    if (std::strcmp(value, "sharp") == 0) {
        line->options.corners = subdiv_corners_sharp;
    } else if (std::strcmp(value, "smooth") == 0) {
        line->options.corners = subdiv_corners_smooth;
    } else {
        std::snprintf(message, size, "--corners must be sharp or smooth, not '%s'", value);
        return false;
    }
    return true;
}

static bool option_scheme(command_line* line, const char* value, char* message, size_t size)
{
    if (std::strcmp(value, "auto") == 0) {
        line->options.scheme = subdiv_scheme_auto;
    } else if (std::strcmp(value, "loop") == 0) {
        line->options.scheme = subdiv_scheme_loop;
    } else if (std::strcmp(value, "catmull-clark") == 0) {
        line->options.scheme = subdiv_scheme_catmull_clark;
    } else {
        std::snprintf(message, size, "--scheme must be auto, loop or catmull-clark, not '%s'",
                      value);
        return false;
    }
    return true;
}

static bool option_uv(command_line* line, const char* value, char* message, size_t size)
{
    static const struct {
        const char* name;
        subdiv_uv_mode mode;
    } modes[] = {{"linear", subdiv_uv_linear},
                 {"boundaries", subdiv_uv_boundaries},
                 {"corners-concave", subdiv_uv_corners_concave},
                 {"corners-junctions", subdiv_uv_corners_junctions},
                 {"corners", subdiv_uv_corners},
                 {"smooth", subdiv_uv_smooth}};
    if (!value) {
        line->options.uv = subdiv_uv_linear;
        return true;
    }
    for (const auto& entry : modes)
        if (std::strcmp(value, entry.name) == 0) {
            line->options.uv = entry.mode;
            return true;
        }
    std::snprintf(message, size,
                  "--uv must be linear, boundaries, corners-concave, corners-junctions, corners "
                  "or smooth, not '%s'",
                  value);
    return false;
}

static bool option_materials(command_line* line, const char*, char*, size_t)
{
    line->options.materials = 1;
    return true;
}

static bool option_limit(command_line* line, const char*, char*, size_t)
{
    line->options.limit = 1;
    return true;
}

static bool option_normals(command_line* line, const char*, char*, size_t)
{
    line->options.normals = 1;
    return true;
}

static bool option_precision(command_line* line, const char* value, char* message, size_t size)
{
    if (std::strcmp(value, "6") == 0) {
        line->options.precision = subdiv_precision_6;
    } else if (std::strcmp(value, "shortest") == 0) {
        line->options.precision = subdiv_precision_shortest;
    } else {
        std::snprintf(message, size, "--precision must be 6 or shortest, not '%s'", value);
        return false;
    }
    return true;
}

static bool option_crease_angle(command_line* line, const char* value, char* message, size_t size)
{
    char* end = nullptr;
    const double degrees = std::strtod(value, &end);
    if (end == value || *end != '\0' || !(degrees > 0.0 && degrees < 180.0)) {
        std::snprintf(message, size,
                      "--crease-angle must be a number of degrees above 0 and below 180, not '%s'",
                      value);
        return false;
    }
    line->options.crease_angle = degrees;
    return true;
}

static bool option_vertex_rule(command_line* line, const char* value, char* message, size_t size)
{
    if (std::strcmp(value, "edge-points") == 0) {
        line->options.vertex_rule = subdiv_vertex_rule_edge_points;
    } else if (std::strcmp(value, "classic") == 0) {
        line->options.vertex_rule = subdiv_vertex_rule_classic;
    } else {
        std::snprintf(message, size, "--vertex-rule must be edge-points or classic, not '%s'",
                      value);
        return false;
    }
    return true;
}

static bool option_format(command_line* line, const char* value, char* message, size_t size)
{
    static const struct {
        const char* name;
        subdiv_format format;
    } formats[] = {{"auto", subdiv_format_auto},
                   {"obj", subdiv_format_obj},
                   {"ply", subdiv_format_ply},
                   {"ply-ascii", subdiv_format_ply_ascii}};
    for (const auto& entry : formats)
        if (std::strcmp(value, entry.name) == 0) {
            line->options.format = entry.format;
            return true;
        }
    std::snprintf(message, size, "--format must be auto, obj, ply or ply-ascii, not '%s'", value);
    return false;
}

// The limit of --threads: more threads than this only wait on each other.
static const int32_t most_threads = 1024;

static bool option_threads(command_line* line, const char* value, char* message, size_t size)
{
    int32_t n = 0;
    if (!parse_count(value, &n) || n < 1 || n > most_threads) {
        std::snprintf(message, size, "--threads must be a count from 1 to %d, not '%s'",
                      int(most_threads), value);
        return false;
    }
    line->options.threads = n;
    return true;
}

static const option_entry option_table[] = {
    {"corners", option_value, option_corners},
    {"crease-angle", option_value, option_crease_angle},
    {"format", option_value, option_format},
    {"limit", option_flag, option_limit},
    {"materials", option_flag, option_materials},
    {"normals", option_flag, option_normals},
    {"precision", option_value, option_precision},
    {"scheme", option_value, option_scheme},
    {"threads", option_value, option_threads},
    {"uv", option_optional, option_uv},
    {"vertex-rule", option_value, option_vertex_rule},
    {"help", option_flag, option_help},
    {"version", option_flag, option_version},
};

// Applies the option argument arg ("--name" or "--name=value"), taking its
// value from *next (and moving it on) when it needs one and arg has none.
static bool apply_option(const char* arg, int argc, char** argv, int* next, command_line* line,
                         char* message, size_t size)
{
    const char* name = arg + 2;
    const char* equals = std::strchr(name, '=');
    const size_t name_length = equals ? size_t(equals - name) : std::strlen(name);
    for (const option_entry& entry : option_table) {
        if (std::strlen(entry.name) != name_length ||
            std::strncmp(entry.name, name, name_length) != 0)
            continue;
        const char* value = equals ? equals + 1 : nullptr;
        if (entry.takes_value == option_flag && value) {
            std::snprintf(message, size, "option '--%s' takes no value", entry.name);
            return false;
        }
        if (entry.takes_value == option_value && !value) {
            if (*next >= argc) {
                std::snprintf(message, size, "option '--%s' needs a value", entry.name);
                return false;
            }
            value = argv[(*next)++];
        }
        return entry.apply(line, value, message, size);
    }
    std::snprintf(message, size, "unknown option '%s'", arg);
    return false;
}

bool command_line_parse(int argc, char** argv, const char* project_dir, command_line* line,
                        char* message, size_t size)
{
    *line = command_line{};
    subdiv_options_init(&line->options);
    const char* positional[3] = {nullptr, nullptr, nullptr};
    int n_positional = 0;
    bool options_end = false;
    for (int i = 1; i < argc;) {
        const char* arg = argv[i++];
        if (!options_end && std::strcmp(arg, "--") == 0) {
            options_end = true;
            continue;
        }
        if (!options_end && std::strcmp(arg, "-h") == 0) {
            line->help = true;
            continue;
        }
        if (!options_end && arg[0] == '-' && arg[1] == '-') {
            if (!apply_option(arg, argc, argv, &i, line, message, size)) return false;
            continue;
        }
        if (!options_end && arg[0] == '-' && arg[1] != '\0') {
            std::snprintf(message, size, "unknown option '%s'", arg);
            return false;
        }
        if (n_positional == 3) {
            std::snprintf(message, size, "expected 3 arguments, got more");
            return false;
        }
        positional[n_positional++] = arg;
    }
    if (line->help || line->version) return true;

    if (n_positional == 0) {
        // the sample job, whose paths lie in the project folder
        static std::string input, output;
        input = std::string(project_dir) + "/meshes/cube-quad.obj";
        output = std::string(project_dir) + "/meshes/cube-quad-1.obj";
        line->input_path = input.c_str();
        line->output_path = output.c_str();
        line->iterations = 4;
        return true;
    }
    if (n_positional != 3) {
        std::snprintf(message, size, "expected 3 arguments, got %d", n_positional);
        return false;
    }
    if (!parse_count(positional[1], &line->iterations)) {
        std::snprintf(message, size,
                      "the iteration count must be a whole number from 0 to 2147483647, not '%s'",
                      positional[1]);
        return false;
    }
    line->input_path = positional[0];
    line->output_path = positional[2];
    return true;
}
