// The material library reader: keywords, defaults, names, and the files it
// refuses to read.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "mtl_parse.h"
#include "obj_scan.h"
#include "test_util.h"

using namespace subdiv;

using test_util::scratch_folder;

TEST(MtlParse, EveryKeywordAndTheDefaults)
{
    scratch_folder scratch;
    std::string folder = scratch.path;
    std::string path = folder + "/all.mtl";
    test_util::write_file(path,
               "# a library\n"
               "\n"
               "Kd 9 9 9\n" // before any newmtl: dropped
               "newmtl   red extra\n"
               "Ka 1\n"
               "Kd 0.5 0.25 0.125\n"
               "Ks 1 2 3\n"
               "Kt 4 5 6\n"
               "Ke 7 8 9\n"
               "\tNs 96.5\n"
               "Ni 1.45\n"
               "illum 2\n"
               "Pr 0.5\n" // not a keyword of this reader
               "Kdx 1 1 1\n"
               "map_Ka a.png\n"
               "map_Kd  -s 1 1 1 tex.png \r\n"
               "map_Ks s.png\n"
               "map_Ns n.png\n"
               "bump b1.png\n"
               "map_bump b2.png\n"
               "disp d.png\n"
               "map_d alpha.png\n"
               "newmtl blue\n");
    obj_material* materials = nullptr;
    uint64_t count = 99;
    name_table table;
    name_table_create(10, &table);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), &table, nullptr), subdiv_ok);
    ASSERT_EQ(count, 2u);
    const obj_material& red = materials[0];
    EXPECT_STREQ(red.name, "red");
    EXPECT_EQ(red.ambient[0], 1.0f);
    EXPECT_EQ(red.ambient[1], 0.0f);
    EXPECT_EQ(red.ambient[2], 0.0f);
    EXPECT_EQ(red.diffuse[0], 0.5f);
    EXPECT_EQ(red.diffuse[1], 0.25f);
    EXPECT_EQ(red.diffuse[2], 0.125f);
    EXPECT_EQ(red.specular[2], 3.0f);
    EXPECT_EQ(red.transmittance[0], 4.0f);
    EXPECT_EQ(red.emission[1], 8.0f);
    EXPECT_EQ(red.shininess, 96.5f);
    double ni = 0;
    ASSERT_TRUE(parse_number("1.45", "1.45" + 4, &ni));
    EXPECT_EQ(red.refraction_index, float(ni));
    EXPECT_EQ(red.illum, 2);
    EXPECT_EQ(red.dissolve, 1.0f);
    EXPECT_STREQ(red.ambient_map, "a.png");
    EXPECT_STREQ(red.diffuse_map, " -s 1 1 1 tex.png "); // options and blanks kept, CR LF cut
    EXPECT_STREQ(red.specular_map, "s.png");
    EXPECT_STREQ(red.shininess_map, "n.png");
    EXPECT_STREQ(red.bump_map, "b2.png"); // bump and map_bump set one field
    EXPECT_STREQ(red.displacement_map, "d.png");
    EXPECT_STREQ(red.alpha_map, "alpha.png");

    const obj_material& blue = materials[1];
    EXPECT_STREQ(blue.name, "blue");
    EXPECT_EQ(blue.diffuse[0], 0.0f);
    EXPECT_EQ(blue.shininess, 1.0f);
    EXPECT_EQ(blue.refraction_index, 1.0f);
    EXPECT_EQ(blue.dissolve, 1.0f);
    EXPECT_EQ(blue.illum, 0);
    EXPECT_EQ(blue.diffuse_map, nullptr);
    EXPECT_EQ(blue.bump_map, nullptr);

    EXPECT_EQ(name_table_get("red", &table), 0);
    EXPECT_EQ(name_table_get("blue", &table), 1);
    name_table_free(&table);
    obj_materials_free(materials, count);
}

TEST(MtlParse, TransparencyDissolveNamesAndLongLines)
{
    scratch_folder scratch;
    std::string folder = scratch.path;
    std::string path = folder + "/more.mtl";
    std::string long_name(10000, 'n');
    test_util::write_file(path, "newmtl glass\r\n"
                     "Tr 0.25\r\n"
                     "newmtl fog\n"
                     "Tr 0.25\n"
                     "d 0.5\n"
                     "newmtl same\n"
                     "illum 1\n"
                     "newmtl same\n"
                     "illum 3\n"
                     "newmtl\n" // no blank after the keyword: not a statement
                     "newmtl \t\n"
                     "newmtl " + long_name + "\n"
                     "map_Kd " + std::string(9000, 'x') + "\n"
                     "newmtl last"); // no line end
    obj_material* materials = nullptr;
    uint64_t count = 0;
    name_table table;
    name_table_create(10, &table);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), &table, nullptr), subdiv_ok);
    ASSERT_EQ(count, 7u);
    EXPECT_STREQ(materials[0].name, "glass"); // the CR is white space, not part of the word
    EXPECT_EQ(materials[0].dissolve, 0.75f);
    EXPECT_EQ(materials[1].dissolve, 0.5f);
    // two materials of one name: both kept, the table maps it to the later one
    EXPECT_STREQ(materials[2].name, "same");
    EXPECT_STREQ(materials[3].name, "same");
    EXPECT_EQ(materials[2].illum, 1);
    EXPECT_EQ(materials[3].illum, 3);
    EXPECT_EQ(name_table_get("same", &table), 3);
    // newmtl without a word: an empty name
    EXPECT_STREQ(materials[4].name, "");
    // names and maps of any length are kept whole
    EXPECT_EQ(std::string(materials[5].name), long_name);
    EXPECT_EQ(std::string(materials[5].diffuse_map), std::string(9000, 'x'));
    EXPECT_STREQ(materials[6].name, "last");
    EXPECT_EQ(name_table_get("last", &table), 6);
    name_table_free(&table);
    obj_materials_free(materials, count);

    // without a table nothing is recorded; without a newmtl there is no array
    test_util::write_file(path, "# nothing\nKd 1 1 1\nmap_Kd x.png\n");
    materials = reinterpret_cast<obj_material*>(&count);
    ASSERT_EQ(mtl_parse(&materials, &count, path.c_str(), nullptr, nullptr), subdiv_ok);
    EXPECT_EQ(materials, nullptr);
    EXPECT_EQ(count, 0u);
}

// A library must be a regular file of at most 64 MiB that can be read; any
// other is refused at once with the reason (a FIFO is not waited on).
TEST(MtlParse, RefusesWhatIsNotASmallRegularFile)
{
    scratch_folder folder;
    ASSERT_EQ(mkfifo(folder.file("fifo.mtl").c_str(), 0600), 0);
    test_util::write_file(folder.file("large.mtl"), "");
    ASSERT_EQ(truncate(folder.file("large.mtl").c_str(), (64 << 20) + 1), 0);
    test_util::write_file(folder.file("limit.mtl"), "newmtl a\n");
    ASSERT_EQ(truncate(folder.file("limit.mtl").c_str(), 64 << 20), 0);
    const struct {
        std::string path;
        subdiv_status status;
        std::string message;
    } cases[] = {
        {"/nonexistent-subdiv-test/x.mtl", subdiv_error_read,
         "cannot read the material library '/nonexistent-subdiv-test/x.mtl': No such file or "
         "directory"},
        {folder.path, subdiv_error_read,
         "the material library '" + folder.path + "' is not a regular file"},
        {"/dev/zero", subdiv_error_read, "the material library '/dev/zero' is not a regular file"},
        {folder.file("fifo.mtl"), subdiv_error_read,
         "the material library '" + folder.file("fifo.mtl") + "' is not a regular file"},
        {folder.file("large.mtl"), subdiv_error_read,
         "the material library '" + folder.file("large.mtl") + "' is larger than 64 MiB"},
        {folder.file("limit.mtl"), subdiv_ok, ""},
    };
    for (const auto& c : cases) {
        obj_material* materials = reinterpret_cast<obj_material*>(0x1);
        uint64_t count = 5;
        subdiv_error error = {};
        EXPECT_EQ(mtl_parse(&materials, &count, c.path.c_str(), nullptr, &error), c.status) << c.path;
        if (c.status != subdiv_ok) {
            EXPECT_EQ(std::string(error.message), c.message);
            EXPECT_EQ(materials, nullptr);
            EXPECT_EQ(count, 0u);
        } else {
            EXPECT_EQ(count, 1u);
        }
        obj_materials_free(materials, count);
    }
}
