#include "output/model_writer.h"

#include "output/xmodel_checker.h"

#include <clocale>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace pxo {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of this test's own under the temporary directory.
class TempDir {
 public:
  TempDir() {
    path_ =
        std::filesystem::temp_directory_path() /
        ("pxo-model-" +
         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string str() const { return path_.string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(CustomModelXml, ByteExactDepthOne) {
  std::vector<int32_t> cells = {1, 0, 2, 0, 3, 0};
  EXPECT_EQ(buildCustomModelXml("Arch & \"Tree\"", 3, 2, 1, cells),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<custommodel\n"
            "    name=\"Arch &amp; &quot;Tree&quot;\"\n"
            "    DisplayAs=\"Custom\"\n"
            "    CustomWidth=\"3\"\n"
            "    CustomHeight=\"2\"\n"
            "    parm1=\"3\"\n"
            "    parm2=\"2\"\n"
            "    parm3=\"1\"\n"
            "    StringType=\"RGB Nodes\"\n"
            "    Transparency=\"0\"\n"
            "    PixelSize=\"2\"\n"
            "    ModelBrightness=\"0\"\n"
            "    Antialias=\"1\"\n"
            "    ScaleX=\"33.333332\"\n"
            "    ScaleY=\"50.000000\"\n"
            "    ScaleZ=\"33.333332\"\n"
            "    StrandNames=\"\"\n"
            "    NodeNames=\"\"\n"
            "    CustomModel=\"1,,2;,3,\"\n"
            "    SourceVersion=\"Glowtrace/1\"\n"
            "    Controller=\"No Controller\"\n"
            "    StartChannel=\"1\"\n"
            "    >\n"
            "</custommodel>\n");
}

TEST(CustomModelXml, ByteExactDepthTwo) {
  std::vector<int32_t> cells = {1, 2, 0, 3, 4, 0, 0, 5};
  std::string xml = buildCustomModelXml("Cube", 2, 2, 2, cells);
  EXPECT_NE(xml.find("    CustomHeight=\"2\"\n    Depth=\"2\"\n    "
                     "parm1=\"2\"\n    parm2=\"2\"\n"
                     "    parm3=\"2\"\n"),
            std::string::npos);
  EXPECT_NE(xml.find("    ScaleX=\"50.000000\"\n    ScaleY=\"50.000000\"\n    "
                     "ScaleZ=\"50.000000\"\n"),
            std::string::npos);
  EXPECT_NE(xml.find("    CustomModel=\"1,2;,3|4,;,5\"\n"), std::string::npos);
  EXPECT_TRUE(testing::checkXmodel(xml).empty());
}

TEST(CustomModelGrid, SeparatorsAndEmptyCells) {
  EXPECT_EQ(
      buildCustomModelGrid(3, 2, 1, std::vector<int32_t>{1, 0, 2, 0, 3, 0}),
      "1,,2;,3,");
  EXPECT_EQ(buildCustomModelGrid(4, 1, 1, std::vector<int32_t>{0, 0, -3, 0}),
            ",,,");
  EXPECT_EQ(buildCustomModelGrid(2, 1, 0, std::vector<int32_t>{1, 2}), "");
  EXPECT_EQ(buildCustomModelGrid(1, 1, 3, std::vector<int32_t>{7, 0, 9}),
            "7||9");
}

TEST(MultiPointModelXml, ByteExact2D) {
  std::vector<ModelPoint2D> points = {
      {5, 0.5f, 0.25f}, {2, 0.1f, 0.9f}, {9, 1.0f, 0.0f}};
  EXPECT_EQ(
      buildMultiPointModelXml("Star<1>", points, {}),
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<multipointmodel\n"
      "    name=\"Star&lt;1&gt;\"\n"
      "    DisplayAs=\"MultiPoint\"\n"
      "    NumPoints=\"3\"\n"
      "    PointData=\"0.100000,0.100000,0.000000,0.500000,0.750000,0.000000,"
      "1.000000,1.000000,0.000000\"\n"
      "    StringType=\"RGB Nodes\"\n"
      "    parm1=\"1\"\n"
      "    parm2=\"3\"\n"
      "    parm3=\"1\"\n"
      "    Transparency=\"0\"\n"
      "    PixelSize=\"2\"\n"
      "    ModelBrightness=\"0\"\n"
      "    Antialias=\"1\"\n"
      "    ScaleX=\"100.000000\"\n"
      "    ScaleY=\"100.000000\"\n"
      "    ScaleZ=\"100.000000\"\n"
      "    StrandNames=\"\"\n"
      "    NodeNames=\"\"\n"
      "    SourceVersion=\"Glowtrace/1\"\n"
      "    Controller=\"No Controller\"\n"
      "    StartChannel=\"1\"\n"
      "    >\n"
      "</multipointmodel>\n");
}

TEST(MultiPointModelXml, ThreeDNormalisedIntoTheUnitCube) {
  std::vector<ModelPoint3D> two = {{1, 0, 0, 0, 0}, {2, 2, 1, 0, 1}};
  EXPECT_NE(buildMultiPointModelXml("m", {}, two)
                .find("PointData=\"0.000000,0.500000,0.000000,1.000000,0."
                      "000000,0.000000\""),
            std::string::npos);
  std::vector<ModelPoint3D> same = {{1, 3, 3, 3, 0}, {2, 3, 3, 3, 0}};
  EXPECT_NE(buildMultiPointModelXml("m", {}, same)
                .find("PointData=\"0.000000,0.000000,0.000000,0.000000,0."
                      "000000,0.000000\""),
            std::string::npos);
  // 3D points win over 2D ones; an empty list writes no points.
  std::vector<ModelPoint2D> flat = {{1, 0.5f, 0.5f}};
  EXPECT_NE(buildMultiPointModelXml("m", flat, two).find("NumPoints=\"2\""),
            std::string::npos);
  std::string empty = buildMultiPointModelXml("m", {}, {});
  EXPECT_NE(empty.find("NumPoints=\"0\"\n    PointData=\"\""),
            std::string::npos);
}

TEST(ModelFileStem, StaysInItsFolder) {
  EXPECT_EQ(modelFileStem("Arch & \"Tree\""), "Arch & _Tree_");
  EXPECT_EQ(modelFileStem("../../x"), "______x");
  EXPECT_EQ(modelFileStem("a/b\\c:d*e?f<g>h|i"), "a_b_c_d_e_f_g_h_i");
  EXPECT_EQ(modelFileStem("tab\there\n"), "tab_here_");
  EXPECT_EQ(modelFileStem(".."), "__");
  EXPECT_EQ(modelFileStem("name."), "name_");
  EXPECT_EQ(modelFileStem(""), "MappedModel");
  EXPECT_EQ(modelFileStem("B\xC3\xA4ume"), "B\xC3\xA4ume");
}

TEST(FillMissingIds, OnePointPerIdFromOne) {
  std::vector<ModelPoint3D> points = {
      {4, 4, 0, 0, 0}, {7, 7, 0, 0, 0}, {9, 9, 0, 0, 0}};
  auto filled = fillMissingIds(std::span<const ModelPoint3D>(points));
  ASSERT_EQ(filled.size(), 9u);
  std::vector<float> xs;
  for (const ModelPoint3D& p : filled) xs.push_back(p.x);
  // 1-3 take 4; 5 is nearer 4; 6 nearer 7; 8 ties between 7 and 9: the lower.
  EXPECT_EQ(xs, (std::vector<float>{4, 4, 4, 4, 4, 7, 7, 7, 9}));
  for (size_t i = 0; i < filled.size(); ++i)
    EXPECT_EQ(filled[i].id, int32_t(i + 1));
}

ModelOutputInputs sampleInputs(const std::string& name) {
  ModelOutputInputs in;
  in.modelName = name;
  in.gridWidth = 3;
  in.gridHeight = 2;
  in.gridDepth = 1;
  in.cells = {1, 0, 2, 0, 3, 0};
  in.points2d = {{1, 0.1f, 0.2f}, {3, 0.3f, 0.4f}};
  return in;
}

TEST(WriteModelFile, WritesEachKindAndTheHostCanReadIt) {
  TempDir dir;
  std::string error;
  ModelOutputInputs in = sampleInputs("Roof & Eaves");
  std::string grid =
      writeModelFile(in, ModelOutputKind::kCustomGrid, &error, dir.str());
  ASSERT_FALSE(grid.empty()) << error;
  EXPECT_EQ(grid, (dir.path() / "Roof & Eaves.xmodel").string());
  EXPECT_EQ(readFile(grid),
            buildCustomModelXml("Roof & Eaves", 3, 2, 1, in.cells));
  EXPECT_TRUE(testing::checkXmodel(readFile(grid)).empty());

  // The 2D points fill the gap at ID 2 with ID 1's position.
  std::string points =
      writeModelFile(in, ModelOutputKind::kMultiPoint2D, &error, dir.str());
  std::string text = readFile(points);
  EXPECT_NE(text.find("NumPoints=\"3\""), std::string::npos);
  EXPECT_NE(
      text.find(
          "PointData=\"0.100000,0.800000,0.000000,0.100000,0.800000,0.000000,"
          "0.300000,0.600000,0.000000\""),
      std::string::npos);
  auto problems = testing::checkXmodel(text);
  EXPECT_TRUE(problems.empty()) << problems.front();

  in.points3d = {{3, 1, 2, 3, 0}, {5, 2, 2, 3, 0}};
  std::string solid =
      writeModelFile(in, ModelOutputKind::kMultiPoint3D, &error, dir.str());
  text = readFile(solid);
  EXPECT_NE(text.find("NumPoints=\"5\""), std::string::npos);
  EXPECT_TRUE(testing::checkXmodel(text).empty());

  // Written again: overwritten, not appended.
  ASSERT_FALSE(
      writeModelFile(in, ModelOutputKind::kCustomGrid, &error, dir.str())
          .empty());
  EXPECT_EQ(readFile(grid),
            buildCustomModelXml("Roof & Eaves", 3, 2, 1, in.cells));
}

TEST(WriteModelFile, NamesCannotEscapeTheFolder) {
  TempDir dir;
  std::string error;
  std::string path = writeModelFile(
      sampleInputs("../../x"), ModelOutputKind::kCustomGrid, &error, dir.str());
  ASSERT_FALSE(path.empty()) << error;
  EXPECT_EQ(std::filesystem::path(path).parent_path(), dir.path());
  // The name attribute keeps the name as given.
  EXPECT_NE(readFile(path).find("name=\"../../x\""), std::string::npos);
}

TEST(WriteModelFile, Failures) {
  TempDir dir;
  std::string error;
  ModelOutputInputs in = sampleInputs("");
  EXPECT_EQ(writeModelFile(in, ModelOutputKind::kCustomGrid, &error, dir.str()),
            "");
  EXPECT_EQ(error, "no scan to write");
  in.modelName = "m";
  EXPECT_EQ(
      writeModelFile(in, ModelOutputKind::kMultiPoint3D, &error, dir.str()),
      "");
  EXPECT_EQ(error, "no 3D solve to write");
  in.cells.clear();
  EXPECT_EQ(writeModelFile(in, ModelOutputKind::kCustomGrid, &error, dir.str()),
            "");
  EXPECT_EQ(error, "no grid to write");
  // A folder that is not there: the file cannot be opened.
  in = sampleInputs("m");
  EXPECT_EQ(writeModelFile(in,
                           ModelOutputKind::kCustomGrid,
                           &error,
                           (dir.path() / "missing").string()),
            "");
  EXPECT_EQ(error, "xmodel write failed");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "something was written";
}

TEST(WriteModelFile, DecimalPointWhateverTheLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE locale";
  std::string xml = buildMultiPointModelXml(
      "m", std::vector<ModelPoint2D>{{1, 0.25f, 0.5f}}, {});
  std::string grid =
      buildCustomModelXml("m", 3, 1, 1, std::vector<int32_t>{1, 2, 3});
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_NE(xml.find("PointData=\"0.250000,0.500000,0.000000\""),
            std::string::npos)
      << xml;
  EXPECT_NE(grid.find("ScaleX=\"33.333332\""), std::string::npos);
}

TEST(XmodelChecker, CatchesBrokenFiles) {
  std::string good =
      buildCustomModelXml("m", 3, 2, 1, std::vector<int32_t>{1, 0, 2, 0, 3, 0});
  EXPECT_TRUE(testing::checkXmodel(good).empty());
  auto broken = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return !testing::checkXmodel(text).empty();
  };
  EXPECT_TRUE(broken("1,,2;,3,", "1,,2;,3,,"));
  EXPECT_TRUE(broken("1,,2;,3,", "1,,2;,3,;"));
  EXPECT_TRUE(broken("parm1=\"3\"", "parm1=\"5\""));
  EXPECT_TRUE(broken("DisplayAs=\"Custom\"", "DisplayAs=\"\""));
  EXPECT_TRUE(broken("name=\"m\"", "name=\"a&b\""));
  std::string points = buildMultiPointModelXml(
      "m", std::vector<ModelPoint2D>{{1, 0.5f, 0.5f}}, {});
  EXPECT_TRUE(testing::checkXmodel(points).empty());
  std::string bad = points;
  bad.replace(bad.find("NumPoints=\"1\""), 13, "NumPoints=\"2\"");
  EXPECT_FALSE(testing::checkXmodel(bad).empty());
}

}  // namespace
}  // namespace pxo
