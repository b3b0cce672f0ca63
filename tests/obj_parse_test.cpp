// The OBJ reader: statements, face corners and their indices, line ends and
// continued lines, shapes, material libraries, and the faults it refuses
// with the line named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "obj_parse.h"
#include "test_util.h"

using namespace subdiv;

using test_util::scratch_folder;
using test_util::write_file;

namespace {

// The outputs of one obj_parse call.
struct parsed {
    subdiv_status result;
    subdiv_error error;
    std::string warnings; // one line per warning
    obj_attribs attribs;
    obj_shape* shapes;
    uint64_t n_shapes;
    obj_material* materials;
    uint64_t n_materials;
};

void record_warning(void* context, const char* message)
{
    *static_cast<std::string*>(context) += std::string(message) + "\n";
}

// obj_parse of a copy of text, named "m.obj", on `threads` threads (0: all
// the cores).
parsed parse_text(const std::string& text, uint32_t flags = 0, const char* base_dir = nullptr,
                  int threads = 0)
{
    parsed p;
    std::memset(&p.error, 0, sizeof p.error);
    subdiv_options options;
    subdiv_options_init(&options);
    options.warning = record_warning;
    options.context = &p.warnings;
    options.threads = threads;
    std::string copy = text; // the reader may change the text
    p.result = obj_parse(&p.attribs, &p.shapes, &p.n_shapes, &p.materials, &p.n_materials,
                         copy.data(), copy.size(), flags, base_dir, "m.obj", &options, &p.error);
    return p;
}

void parsed_free(parsed* p)
{
    obj_attribs_free(&p->attribs);
    obj_shapes_free(p->shapes, p->n_shapes);
    obj_materials_free(p->materials, p->n_materials);
}

std::vector<float> positions_of(const parsed& p)
{
    return std::vector<float>(p.attribs.positions, p.attribs.positions + 3 * p.attribs.vertex_count);
}

std::vector<int32_t> position_indices_of(const parsed& p)
{
    std::vector<int32_t> indices;
    for (uint32_t i = 0; i < p.attribs.index_count; ++i)
        indices.push_back(p.attribs.indices[i].position_index);
    return indices;
}

std::vector<int32_t> face_sizes_of(const parsed& p)
{
    return std::vector<int32_t>(p.attribs.face_sizes, p.attribs.face_sizes + p.attribs.face_count);
}

std::vector<int32_t> face_materials_of(const parsed& p)
{
    return std::vector<int32_t>(p.attribs.face_materials,
                                p.attribs.face_materials + p.attribs.face_count);
}

} // namespace

TEST(ObjParse, StatementsWithAndWithoutBlanks)
{
    parsed p = parse_text("v 1 2 3 4\n"
                          "v\t-1.5   2e1\t 3\n"
                          "v1 2 3\n"
                          "vp 1 2\n"
                          "s 1\n"
                          "l 1 2\n"
                          "   \n"
                          "  # v 9 9 9\n"
                          "  v .5 8. -.25 # colours or a comment after three coordinates\n"
                          "vt 0.5\n"
                          "vn 0 0 1\n"
                          "vt 0.25 0.75 1\n");
    ASSERT_EQ(p.result, subdiv_ok) << p.error.message;
    EXPECT_EQ(p.attribs.vertex_count, 3u);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 3, -1.5f, 20, 3, 0.5f, 8, -0.25f}));
    ASSERT_EQ(p.attribs.texcoord_count, 2u);
    EXPECT_EQ(std::vector<float>(p.attribs.texcoords, p.attribs.texcoords + 4),
              (std::vector<float>{0.5f, 0, 0.25f, 0.75f}));
    ASSERT_EQ(p.attribs.normal_count, 1u);
    EXPECT_EQ(p.attribs.normals[2], 1.0f);
    EXPECT_EQ(p.attribs.face_count, 0u);
    EXPECT_EQ(p.attribs.indices, nullptr); // empty arrays are null
    EXPECT_EQ(p.n_shapes, 0u);
    EXPECT_EQ(p.materials, nullptr);
    parsed_free(&p);
}

TEST(ObjParse, FaceCornersResolveAgainstTheStatementsBeforeThem)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\n"
                          "f 1 2 3\n"
                          "f -3 -2 -1\n"
                          "vt 0 0\nvt 1 0\nvt 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\n"
                          "f 1/1/1 2/2/2 3/3/3\n"
                          "v 0 0 1\n"
                          "f -1//-1 -2/-3 1/1/3\n"
                          "f 1 2 3 4\n");
    ASSERT_EQ(p.result, subdiv_ok) << p.error.message;
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3, 3, 3, 3, 4}));
    EXPECT_EQ(position_indices_of(p),
              (std::vector<int32_t>{0, 1, 2, 0, 1, 2, 0, 1, 2, 3, 2, 0, 0, 1, 2, 3}));
    const corner_index* c = p.attribs.indices;
    EXPECT_EQ(c[0].texcoord_index, index_missing); // parts not given stay missing
    EXPECT_EQ(c[0].normal_index, index_missing);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c[6 + i].texcoord_index, i);
        EXPECT_EQ(c[6 + i].normal_index, i);
    }
    EXPECT_EQ(c[9].texcoord_index, index_missing);
    EXPECT_EQ(c[9].normal_index, 2);
    EXPECT_EQ(c[10].texcoord_index, 0);
    EXPECT_EQ(c[10].normal_index, index_missing);
    EXPECT_EQ(c[11].texcoord_index, 0);
    EXPECT_EQ(c[11].normal_index, 2);
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>(5, -1)));
    parsed_free(&p);

    // a face statement without corners is a face of size 0
    p = parse_text("f\nf \n");
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(p.attribs.face_count, 1u); // "f" alone lacks its blank: not a statement
    EXPECT_EQ(p.attribs.face_sizes[0], 0);
    EXPECT_EQ(p.attribs.index_count, 0u);
    parsed_free(&p);
}

// Every line the reader refuses: the status, the line and face it names, the
// message, and nothing handed out.
TEST(ObjParse, RefusedLinesNameTheLineAndTheToken)
{
    const std::string v3 = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\n";
    std::string corners16;
    for (int i = 1; i <= 16; ++i) corners16 += " 1";
    struct refused {
        std::string text;
        uint64_t line;
        uint64_t face;
        std::string message;
    } cases[] = {
        {v3 + "f 0 2 3\n", 5, 1, "line 5: face corner '0': index 0 names no vertex"},
        {v3 + "f 1 2 3\nf -0 2 3\n", 6, 2, "line 6: face corner '-0': index 0 names no vertex"},
        {v3 + "f x 2 3\n", 5, 1, "line 5: face corner 'x' is not of the form v, v/vt, v//vn"},
        {v3 + "f 1 2 /\n", 5, 1, "line 5: face corner '/' is not of the form"},
        {v3 + "f 1/ 2/ 3/\n", 5, 1, "line 5: face corner '1/' is not of the form"},
        {v3 + "f 1/1/1/1 2 3\n", 5, 1, "line 5: face corner '1/1/1/1' is not of the form"},
        {v3 + "f 1/0 2/1 3/1\n", 5, 1, "face corner '1/0': index 0 names no texture coordinate"},
        {v3 + "f 1//x 2 3\n", 5, 1, "face corner '1//x' is not of the form"},
        {v3 + "f 1/2 2 3\n", 5, 1,
         "face corner '1/2' names texture coordinate 2, but only 1 texture coordinates come "
         "before it"},
        {v3 + "f 1 2 4\n", 5, 1, "face corner '4' names vertex 4, but only 3 vertices come before it"},
        {"f 1 2 3\nv 0 0 0\n", 1, 1, "face corner '1' names vertex 1, but only 0 vertices"},
        {v3 + "f 1 2 -4\n", 5, 1, "face corner '-4' counts back 4 vertices, but only 3 come before it"},
        {v3 + "f 1 2147483648 2\n", 5, 1,
         "face corner '2147483648' names vertex 2147483648, but only 3 vertices come before it"},
        {v3 + "f 4294967296 1 2\n", 5, 1, "face corner '4294967296' has an index outside the 32-bit"},
        {v3 + "f 1 2 3/1/123456789012345678901234567890\n", 5, 1,
         "face corner '3/1/12345678901234567890...' has an index outside"},
        {v3 + "f" + corners16 + "\n", 5, 1, "line 5: face with 16 corners; at most 15 are supported"},
        {"v 1 2\n", 1, 0, "line 1: 'v' statement with 2 coordinates; 3 are needed"},
        {"v 0 0 0\nvn 1\n", 2, 0, "line 2: 'vn' statement with 1 coordinates; 3 are needed"},
        {"vt\t\n", 1, 0, "line 1: 'vt' statement with 0 coordinates; at least 1 is needed"},
        {"v nan 0 0\n", 1, 0, "line 1: coordinate 'nan' is not a decimal number"},
        {"v 0 abc 0\n", 1, 0, "coordinate 'abc' is not a decimal number"},
        {"v 0 0 0x1p3\n", 1, 0, "coordinate '0x1p3' is not a decimal number"},
        {"v -1,5 0 0\n", 1, 0, "coordinate '-1,5' is not a decimal number"},
        {"v 1.5.3 0 0\n", 1, 0, "coordinate '1.5.3' is not a decimal number"},
        {"v 1e400 0 0\n", 1, 0, "coordinate '1e400' does not read as a finite 32-bit float"},
        {"v 0 0e500 0\n", 1, 0, "coordinate '0e500' does not read as a finite 32-bit float"},
        {"v 0 0 1e39\n", 1, 0, "coordinate '1e39' does not read as a finite 32-bit float"},
        {"v 0 0 2e4294967297\n", 1, 0, "coordinate '2e4294967297' does not read as a finite"},
        {"vt 0.5 x\n", 1, 0, "coordinate 'x' is not a decimal number"},
        // the line numbers of continued lines count every line of the file
        {"v 0 0 \\\n0\nv 1 \\\r\n 0 \\\n 0\nf 1 2 \\\n 3\n", 6, 1,
         "line 6: face corner '3' names vertex 3, but only 2 vertices"},
    };
    for (const refused& c : cases) {
        parsed p = parse_text(c.text);
        EXPECT_EQ(p.result, subdiv_error_syntax) << c.text;
        EXPECT_EQ(std::string(p.error.message).rfind("m.obj: line ", 0), 0u) << p.error.message;
        EXPECT_NE(std::string(p.error.message).find(c.message), std::string::npos)
            << p.error.message << "\n  wanted: " << c.message;
        EXPECT_EQ(p.error.line, c.line) << c.text;
        EXPECT_EQ(p.error.face, c.face) << c.text;
        EXPECT_EQ(p.attribs.positions, nullptr);
        EXPECT_EQ(p.attribs.vertex_count, 0u);
        EXPECT_EQ(p.shapes, nullptr);
        EXPECT_EQ(p.materials, nullptr);
        parsed_free(&p);
    }
}

// A line that ends in a backslash goes on in the next line, whatever the
// line ends; a backslash at the end of the text is dropped.
TEST(ObjParse, ContinuedLinesJoinTheNextLine)
{
    for (const char* end : {"\n", "\r\n", "\r"}) {
        const std::string e = end;
        parsed p = parse_text("v 0 0 0" + e + "v 1 0 0" + e + "v 0 1 \\" + e + "0" + e +
                              "f 1 2 \\" + e + "3 \\" + e + "\\" + e + e + "f 1 2 3\\");
        ASSERT_EQ(p.result, subdiv_ok) << p.error.message;
        EXPECT_EQ(positions_of(p), (std::vector<float>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
        EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3, 3}));
        EXPECT_EQ(position_indices_of(p), (std::vector<int32_t>{0, 1, 2, 0, 1, 2}));
        parsed_free(&p);
    }
}

TEST(ObjParse, TriangulationMakesFans)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 2 0\n"
                          "f 1 2 3 4 5\n"
                          "f 1 2\n"
                          "f 1 2 3\n",
                          parse_triangulate | 0x10);
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3, 3, 3, 3}));
    EXPECT_EQ(position_indices_of(p), (std::vector<int32_t>{0, 1, 2, 0, 2, 3, 0, 3, 4, 0, 1, 2}));
    // shapes count face statements, the two-corner one included
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(p.shapes[0].face_count, 3u);
    parsed_free(&p);

    // the same text without triangulation
    p = parse_text("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 2 0\nf 1 2 3 4 5\nf 1 2\n", 0);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{5, 2}));
    parsed_free(&p);
}

TEST(ObjParse, LineEndsCrLfAndLoneCrGiveTheSameData)
{
    const std::string lines[] = {"v 0 0 0", "v 1 0.5 0", "v 0 1 0.25 ", "vt 0.5 0.5",
                                 "g  left", "f 1/1 2/1 3/1", "f -1 -2 -3 ", "o obj",
                                 "f 3 2 1"};
    std::string lf, crlf, cr;
    for (const std::string& line : lines) {
        lf += line + "\n";
        crlf += line + "\r\n";
        cr += line + "\r";
    }
    parsed a = parse_text(lf), b = parse_text(crlf), c = parse_text(cr);
    for (parsed* p : {&a, &b, &c}) {
        ASSERT_EQ(p->result, subdiv_ok);
        ASSERT_EQ(p->attribs.vertex_count, 3u);
        ASSERT_EQ(p->attribs.index_count, 9u);
        ASSERT_EQ(p->attribs.face_count, 3u);
        EXPECT_EQ(std::memcmp(p->attribs.positions, a.attribs.positions, 9 * sizeof(float)), 0);
        EXPECT_EQ(std::memcmp(p->attribs.indices, a.attribs.indices, 9 * sizeof(corner_index)), 0);
        EXPECT_EQ(face_sizes_of(*p), face_sizes_of(a));
        ASSERT_EQ(p->n_shapes, 2u);
    }
    EXPECT_STREQ(a.shapes[0].name, " left");
    EXPECT_STREQ(a.shapes[1].name, "obj");
    // group and object names keep the CR of a CR LF line
    EXPECT_STREQ(b.shapes[0].name, " left\r");
    EXPECT_STREQ(b.shapes[1].name, "obj\r");
    EXPECT_STREQ(c.shapes[0].name, " left");
    for (parsed* p : {&a, &b, &c}) parsed_free(p);

    // a CR as the very last character stays in its line
    parsed d = parse_text("v 1 2 3\rg x\r");
    ASSERT_EQ(d.result, subdiv_ok);
    EXPECT_EQ(positions_of(d), (std::vector<float>{1, 2, 3}));
    parsed_free(&d);
}

TEST(ObjParse, TextsWithAndWithoutAFinalLineEnd)
{
    parsed p = parse_text("v 1 2 3");
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 3}));
    parsed_free(&p);
    p = parse_text("v 1 2 3\n\n");
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(p.attribs.vertex_count, 1u);
    parsed_free(&p);
    p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3");
    EXPECT_EQ(position_indices_of(p), (std::vector<int32_t>{0, 1, 2}));
    parsed_free(&p);
    // a NUL inside the text ends a line
    p = parse_text(std::string("v 1 2 3\0v 4 5 6", 15));
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(positions_of(p), (std::vector<float>{1, 2, 3, 4, 5, 6}));
    parsed_free(&p);
}

TEST(ObjParse, ShapesFromGroupsAndObjects)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\n"
                          "g a\nf 1 2 3\nf 1 2 3\ng b\ng c\nf 1 2 3\no\n");
    ASSERT_EQ(p.result, subdiv_ok);
    ASSERT_EQ(p.n_shapes, 2u);
    EXPECT_STREQ(p.shapes[0].name, "a");
    EXPECT_EQ(p.shapes[0].first_face, 0u);
    EXPECT_EQ(p.shapes[0].face_count, 2u);
    EXPECT_STREQ(p.shapes[1].name, "c");
    EXPECT_EQ(p.shapes[1].first_face, 2u);
    EXPECT_EQ(p.shapes[1].face_count, 1u);
    parsed_free(&p);

    p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 3\n");
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(p.shapes[0].name, nullptr);
    EXPECT_EQ(p.shapes[0].first_face, 0u);
    EXPECT_EQ(p.shapes[0].face_count, 2u);
    parsed_free(&p);

    // faces before the first group, an empty object name, an object after a group
    p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\ng \nf 1 2 3\no thing\nf 1 2 3\nf 1 2 3\n");
    ASSERT_EQ(p.n_shapes, 3u);
    EXPECT_EQ(p.shapes[0].name, nullptr);
    EXPECT_EQ(p.shapes[1].name, nullptr);
    EXPECT_EQ(p.shapes[1].first_face, 1u);
    EXPECT_STREQ(p.shapes[2].name, "thing");
    EXPECT_EQ(p.shapes[2].first_face, 2u);
    EXPECT_EQ(p.shapes[2].face_count, 2u);
    parsed_free(&p);
}

TEST(ObjParse, LinesOfAnyLength)
{
    std::string blanks(100000, ' ');
    std::string name(100000, 'g');
    std::string text = "v" + blanks + "1 2 3\n" + "g " + name + "\n" + "f 1" + blanks + "1 1" +
                       blanks + "\r\n" + "v 4 5 6." + std::string(100000, '0') + "\n";
    parsed p = parse_text(text);
    ASSERT_EQ(p.result, subdiv_ok);
    ASSERT_EQ(p.attribs.vertex_count, 2u);
    EXPECT_EQ(p.attribs.positions[0], 1.0f);
    EXPECT_EQ(p.attribs.positions[2], 3.0f);
    EXPECT_EQ(p.attribs.positions[5], 6.0f);
    EXPECT_EQ(face_sizes_of(p), (std::vector<int32_t>{3}));
    ASSERT_EQ(p.n_shapes, 1u);
    EXPECT_EQ(std::string(p.shapes[0].name), name);
    parsed_free(&p);
}

TEST(ObjParse, ParseLineKindsAndNames)
{
    line_record record;
    const char* line = "usemtl  steel \r";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    EXPECT_EQ(record.kind, kind_use_material);
    EXPECT_EQ(std::string(record.material_name, record.material_name_length), "steel \r");
    EXPECT_EQ(record.material_name, line + 8); // points into the text

    line = "mtllib lib.mtl";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    EXPECT_EQ(record.kind, kind_material_library);
    EXPECT_EQ(std::string(record.library_name, record.library_name_length), "lib.mtl");

    line = "o ";
    EXPECT_EQ(obj_parse_line(&record, line, 2, false), 1);
    EXPECT_EQ(record.kind, kind_object);
    EXPECT_EQ(record.object_name_length, 0u);

    for (const char* other : {"", "   ", "# f 1 2 3", "usemtlx a", "mtllib", "vx 1", "x"}) {
        EXPECT_EQ(obj_parse_line(&record, other, std::strlen(other), false), 0) << other;
        EXPECT_EQ(record.kind, kind_empty) << other;
    }

    // the face corners stay as written, unresolved
    line = "f 1/2 -1//4";
    EXPECT_EQ(obj_parse_line(&record, line, std::strlen(line), false), 1);
    ASSERT_EQ(record.corner_count, 2u);
    EXPECT_EQ(record.face_count, 1u);
    EXPECT_EQ(record.face_sizes[0], 2);
    EXPECT_EQ(record.face_corners[1].position_index, -1);
    EXPECT_EQ(record.face_corners[1].normal_index, 4);
}

TEST(ObjParse, MaterialsFromTheLastLibraryInTheObjFolder)
{
    scratch_folder scratch;
    std::string folder = scratch.path;
    write_file(folder + "/first.mtl", "newmtl red\nnewmtl blue\n");
    write_file(folder + "/second.mtl", "newmtl blue\nnewmtl green\n");
    // a CR LF file, a relative library name with trailing blanks
    std::string text = "v 0 0 0\r\nv 1 0 0\r\nv 0 1 0\r\n"
                       "mtllib first.mtl\r\n"
                       "f 1 2 3\r\n"
                       "usemtl green \r\n"
                       "f 1 2 3\r\n"
                       "usemtl red\r\n"
                       "f 1 2 3\r\n"
                       "usemtl\r\n"
                       "f 1 2 3\r\n"
                       "usemtl blue\r\n"
                       "f 1 2 3\r\n"
                       "mtllib   second.mtl \t\r\n";
    parsed p = parse_text(text, 0, folder.c_str());
    EXPECT_EQ(p.warnings, "");
    ASSERT_EQ(p.result, subdiv_ok);
    ASSERT_EQ(p.n_materials, 2u);
    EXPECT_STREQ(p.materials[0].name, "blue");
    EXPECT_STREQ(p.materials[1].name, "green");
    // red is not in the second library; an empty usemtl keeps the material
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{-1, 1, -1, -1, 0}));
    parsed_free(&p);

    // a base folder given with its slash; an absolute name ignores it
    std::string with_slash = folder + "/";
    p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nmtllib first.mtl\nusemtl blue\nf 1 2 3\n", 0, with_slash.c_str());
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{1}));
    parsed_free(&p);
    p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nmtllib " + folder + "/second.mtl\nusemtl blue\nf 1 2 3\n", 0, "/nonexistent");
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{0}));
    parsed_free(&p);
}

// A library that cannot be read gives one warning naming the line, and the
// parse goes on without materials.
TEST(ObjParse, UnreadableLibraryIsOneWarningAndNoFailure)
{
    parsed p = parse_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nmtllib missing.mtl\nusemtl red\nf 1 2 3\n", 0,
                          "/nonexistent-subdiv-test");
    EXPECT_EQ(p.warnings,
              "m.obj: line 4: cannot read the material library "
              "'/nonexistent-subdiv-test/missing.mtl': No such file or directory; materials are "
              "left out\n");
    ASSERT_EQ(p.result, subdiv_ok);
    EXPECT_EQ(p.materials, nullptr);
    EXPECT_EQ(p.n_materials, 0u);
    EXPECT_EQ(face_materials_of(p), (std::vector<int32_t>{-1}));
    parsed_free(&p);

    // an mtllib of blanks names nothing: no library is opened
    p = parse_text("mtllib  \r\n");
    EXPECT_EQ(p.warnings, "");
    EXPECT_EQ(p.result, subdiv_ok);
    parsed_free(&p);
}

// A text of some megabytes is counted in chunks on several threads: what
// they find is what the count line after line finds, down to the line that
// a fault names, with statements that depend on those before them (shapes,
// materials, tags) in every chunk and more of them than a chunk first has
// room for, comments and CR LF line ends; a continued line sends the whole
// text to the count line after line.
TEST(ObjParse, LargeTextsReadOnThreadsAsLineByLine)
{
    // statements and tags every few faces (more than a chunk first notes),
    // or sparse: a few of each, three tags at the end
    auto make = [](bool sparse) {
    const int group_every = sparse ? 50000 : 500, usemtl_every = sparse ? 60000 : 37;
    const int tag_every = sparse ? 1 << 30 : 13;
    const int rows = 300, cols = 600;
    std::string text = "mtllib none.mtl\n";
    char line[160];
    for (int i = 0; i <= rows; ++i)
        for (int j = 0; j <= cols; ++j) {
            std::snprintf(line, sizeof line, "v %d.25 %d.5 %g%s", j, i, 0.001 * (i * j % 97),
                          j % 5 == 0 ? "\r\n" : "\n");
            text += line;
        }
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            const int f = i * cols + j, a = i * (cols + 1) + j + 1, b = a + cols + 1;
            if (f % group_every == 0)
                text += (f % (2 * group_every) ? "o part " : "g part ") + std::to_string(f) + "\n";
            if (f % usemtl_every == 0) text += "usemtl m" + std::to_string(f % 5) + "\n";
            if (f % 211 == 0) text += "# a comment\ns 1\n";
            std::snprintf(line, sizeof line, "f %d %d %d %d\n", a, a + 1, b + 1, b);
            text += line;
            if (f % tag_every == 0) {
                std::snprintf(line, sizeof line, "t crease 2/1/0 %d %d 1.5\n", a - 1, a);
                text += line;
            }
        }
    return text + "t crease 2/1/0 1 2 1\nt crease 2/1/0 2 3 1\nt corner 1/1/0 5 2\n";
    };
    const std::string text = make(false);
    ASSERT_GT(text.size(), 8u << 20); // four chunks of 2 MiB
    const size_t late = text.rfind("f "), middle = text.find('\n', text.size() / 2) + 1;
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"whole", text},
        {"a late fault", text.substr(0, late) + "f 1 2 999999999\n" + text.substr(late)},
        {"sparse", make(true)},
        {"a continued line",
         text.substr(0, middle) + "g continued \\\nname\n" + text.substr(middle)},
    };
    for (const auto& c : cases) {
        parsed serial = parse_text(c.text, 0, nullptr, 1);
        EXPECT_EQ(serial.result == subdiv_ok, std::string(c.name) != "a late fault") << c.name;
        for (int threads : {2, 3}) {
            SCOPED_TRACE(std::string(c.name) + " on " + std::to_string(threads) + " threads");
            parsed p = parse_text(c.text, 0, nullptr, threads);
            ASSERT_EQ(p.result, serial.result);
            EXPECT_STREQ(p.error.message, serial.error.message);
            EXPECT_EQ(p.warnings, serial.warnings);
            if (p.result != subdiv_ok) {
                parsed_free(&p);
                continue;
            }
            EXPECT_EQ(positions_of(p), positions_of(serial));
            EXPECT_EQ(position_indices_of(p), position_indices_of(serial));
            EXPECT_EQ(face_sizes_of(p), face_sizes_of(serial));
            EXPECT_EQ(std::vector<int32_t>(p.attribs.face_usemtl,
                                           p.attribs.face_usemtl + p.attribs.face_count),
                      std::vector<int32_t>(serial.attribs.face_usemtl,
                                           serial.attribs.face_usemtl + serial.attribs.face_count));
            ASSERT_EQ(p.attribs.usemtl_count, serial.attribs.usemtl_count);
            EXPECT_STREQ(p.attribs.usemtl_names, serial.attribs.usemtl_names);
            EXPECT_STREQ(p.attribs.library_name, serial.attribs.library_name);
            ASSERT_EQ(p.n_shapes, serial.n_shapes);
            for (uint64_t k = 0; k < p.n_shapes; ++k) {
                EXPECT_STREQ(p.shapes[k].name, serial.shapes[k].name);
                EXPECT_EQ(p.shapes[k].first_face, serial.shapes[k].first_face);
                EXPECT_EQ(p.shapes[k].face_count, serial.shapes[k].face_count);
            }
            const obj_tag_set& t = p.attribs.tags;
            ASSERT_EQ(t.n_creases, serial.attribs.tags.n_creases);
            EXPECT_TRUE(std::equal(t.crease_line, t.crease_line + t.n_creases,
                                   serial.attribs.tags.crease_line));
            EXPECT_TRUE(std::equal(t.crease_vertices, t.crease_vertices + 2 * t.n_creases,
                                   serial.attribs.tags.crease_vertices));
            parsed_free(&p);
        }
        parsed_free(&serial);
    }
}
