// The vqdm tool: the stream header reader and the colour map on their own,
// then the program as a user runs it (exit codes, one-line errors, outputs
// checked against each other and against the library).
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vqdm/ColourMap.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/StreamHeader.h"
#include "vqdata/VQDataTestSupport.h"

namespace {

using vqtest::BytesOf;
using vqtest::StreamOf;

// A 3 x 2 x 1 x 1 matrix written to a memory stream.
vq::ComPtr<IStream> SmallMatrixStream() {
  vq::ComPtr<IVQDataMatrix> m = vqdm::NewMatrix();
  EXPECT_EQ(m->Initialize2(3, 2, 1, 1, 16, 2, dataFormatFloat32, matrixMultipleObjects), S_OK);
  EXPECT_EQ(m->put_MatrixLabel(vqdm::Bstr("Pegel \xC3\xA9t\xC3\xA9")), S_OK);  // UTF-8 "é"
  EXPECT_EQ(m->InitializeAxis(0, 500.0, 25.0, vqdm::Bstr("rpm")), S_OK);
  EXPECT_EQ(m->SetElementPriority(elementPriorityLifo), S_OK);
  vq::ComPtr<IStream> s = vqtest::NewStream();
  EXPECT_EQ(m->Write(s.get()), S_OK);
  vqtest::Rewind(s.get());
  return s;
}

TEST(StreamHeader, ReadsWhatTheMatrixWrote) {
  vqtest::EnsureApartment();
  vqdm::StreamHeader h;
  ASSERT_EQ(vqdm::ReadStreamHeader(SmallMatrixStream().get(), &h), S_OK);
  EXPECT_EQ(h.version, 4);
  EXPECT_EQ(h.dimensions, 4);
  EXPECT_EQ(h.label, "Pegel \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(h.type, matrixMultipleObjects);
  EXPECT_EQ(h.format, dataFormatFloat32);
  EXPECT_EQ(h.xSize, 16);
  EXPECT_EQ(h.zSize, 2);
  EXPECT_EQ(h.priority, elementPriorityLifo);
  EXPECT_EQ(h.dimension[0].size, 3);
  EXPECT_EQ(h.dimension[0].first, 500.0);
  EXPECT_EQ(h.dimension[0].step, 25.0);
  EXPECT_EQ(h.dimension[0].unit, "rpm");
  EXPECT_EQ(h.dimension[1].size, 2);
  EXPECT_EQ(h.dimension[3].size, 1);
  EXPECT_EQ(vqdm::MatrixTypeName(h.type), "multiple objects");
  EXPECT_EQ(vqdm::PriorityName(h.priority), "LIFO");
  EXPECT_EQ(vqdm::FormatName(h.format), "float32");
  EXPECT_EQ(vqdm::FormatName(9), "9");
}

TEST(StreamHeader, TruncatedOrDamagedHeadersAreRefused) {
  vqtest::EnsureApartment();
  const std::vector<unsigned char> good = BytesOf(SmallMatrixStream().get());
  vqdm::StreamHeader h;
  ASSERT_EQ(vqdm::ReadStreamHeader(StreamOf(good).get(), &h), S_OK);
  for (size_t cut = 0; cut < h.headerBytes; ++cut) {
    vqdm::StreamHeader partial;
    EXPECT_EQ(vqdm::ReadStreamHeader(StreamOf({good.begin(), good.begin() + static_cast<long>(cut)}).get(), &partial),
              HRESULT_FROM_WIN32(ERROR_HANDLE_EOF))
        << cut;
  }
  std::vector<unsigned char> bad = good;
  bad[4] = 3;  // three dimensions
  EXPECT_EQ(vqdm::ReadStreamHeader(StreamOf(bad).get(), &h), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  bad = good;
  bad[8] = 0x11, bad[9] = 0x27, bad[10] = 0, bad[11] = 0;  // a label of 10001 bytes
  EXPECT_EQ(vqdm::ReadStreamHeader(StreamOf(bad).get(), &h), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  bad = good;
  bad[0] = 1;  // version 1: no label, no allocation, no priority
  ASSERT_EQ(vqdm::ReadStreamHeader(StreamOf(bad).get(), &h), HRESULT_FROM_WIN32(ERROR_INVALID_DATA))
      << "the label's bytes are now read as the first dimension record";
  EXPECT_EQ(vqdm::ReadStreamHeader(nullptr, &h), E_POINTER);
}

// Reads a PNG back as RGB.
std::vector<unsigned char> ReadPng(const std::string& path, unsigned* width, unsigned* height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) return {};
  *width = image.width;
  *height = image.height;
  return pixels;
}

TEST(ColourMap, CellsScaleAndTheFirstRowIsAtTheBottom) {
  unsigned char low[3], high[3], mid[3];
  vqdm::ScaleColour(0.0, low);
  vqdm::ScaleColour(1.0, high);
  vqdm::ScaleColour(0.5, mid);
  EXPECT_LT(low[0] + low[1] + low[2], mid[0] + mid[1] + mid[2]);
  EXPECT_LT(mid[0] + mid[1] + mid[2], high[0] + high[1] + high[2]);

  // 2 rows x 3 columns; the largest value is row 0, column 2.
  const std::string path = ::testing::TempDir() + "vqdm-colourmap-" + std::to_string(getpid()) + ".png";
  vqdm::ColourMapOptions options;
  options.minWidth = 30;
  options.minHeight = 20;
  vqdm::WriteColourMap(path, {0, 1, 9, 2, 3, 4}, 2, 3, options);
  unsigned width = 0, height = 0;
  const std::vector<unsigned char> rgb = ReadPng(path, &width, &height);
  ASSERT_FALSE(rgb.empty());
  EXPECT_EQ(width, 30u + 8u + 16u);  // 10-pixel cells, gap, scale bar
  EXPECT_EQ(height, 20u);
  auto pixel = [&](unsigned x, unsigned y) { return &rgb[(y * width + x) * 3]; };
  EXPECT_EQ(std::vector<unsigned char>(pixel(25, 15), pixel(25, 15) + 3), std::vector<unsigned char>(high, high + 3));
  EXPECT_EQ(std::vector<unsigned char>(pixel(5, 15), pixel(5, 15) + 3), std::vector<unsigned char>(low, low + 3));
  std::remove(path.c_str());

  EXPECT_THROW(vqdm::WriteColourMap(path, {}, 0, 0, options), vqdm::ToolError);
  EXPECT_THROW(vqdm::WriteColourMap("/nonexistent-dir/x.png", {1, 2}, 1, 2, options), vqdm::ToolError);
}

// ---------------------------------------------------------------------------
// The program.
// ---------------------------------------------------------------------------

struct Result {
  int code = -1;
  std::string out, err;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Result Vqdm(const std::string& args) {
  // Per process: ctest runs the cases of this program side by side.
  const std::string stem = ::testing::TempDir() + "vqdm-" + std::to_string(getpid());
  const std::string out = stem + ".out", err = stem + ".err";
  const std::string command = std::string(VQDM_TOOL) + " " + args + " >" + out + " 2>" + err + " </dev/null";
  const int status = std::system(command.c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadAll(out);
  r.err = ReadAll(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

size_t Lines(const std::string& text) {
  size_t n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::stringstream in(line);
  for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
  return fields;
}

class VqdmProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_Dir = ::testing::TempDir() + "vqdm-test-" + std::to_string(getpid());
    // A small run-up: 12 speeds x 2 channels x 2 runs of 1024 lines.
    s_Demo = Vqdm("demo --speeds 12 --channels 2 --runs 2 --lines 1024 --memory-budget 0 --no-progress --out " + s_Dir);
  }
  static void TearDownTestSuite() {
    for (const char* f : {"/runup.vqdm", "/runup-octave.vqdm", "/campbell.png"}) std::remove((s_Dir + f).c_str());
    rmdir(s_Dir.c_str());
  }
  static std::string File(const char* name) { return s_Dir + "/" + name; }
  static std::string s_Dir;
  static Result s_Demo;
};
std::string VqdmProgram::s_Dir;
Result VqdmProgram::s_Demo;

// Level 1 of the trace is for failures: a healthy demonstration prints none
// (it printed a line per attribute copy of a record without attributes).
TEST_F(VqdmProgram, HealthyDemoTracesNothingAtLevelOne) {
  std::ofstream(File("Orvex.ini")) << "[VqDebug]\nLevel=1\nKeywords=DataMatrix;Assert\n";
  setenv("VQ_CONFIG_DIR", s_Dir.c_str(), 1);
  const Result r = Vqdm("demo --speeds 12 --channels 2 --runs 2 --lines 1024 --memory-budget 0 --no-progress --out " +
                        s_Dir);  // the suite's files again, removed with them
  unsetenv("VQ_CONFIG_DIR");
  std::remove(File("Orvex.ini").c_str());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("bit-exact"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST_F(VqdmProgram, DemoWritesVerifiesAndSummarises) {
  ASSERT_EQ(s_Demo.code, 0) << s_Demo.err;
  EXPECT_NE(s_Demo.out.find("bit-exact"), std::string::npos) << s_Demo.out;
  EXPECT_NE(s_Demo.out.find("no memory budget"), std::string::npos);
  EXPECT_NE(s_Demo.out.find("swapped out"), std::string::npos);
  EXPECT_EQ(s_Demo.err, "") << "no progress line when not on a terminal";
  unsigned width = 0, height = 0;
  EXPECT_FALSE(ReadPng(File("campbell.png"), &width, &height).empty());
  EXPECT_GT(width, 512u);
}

TEST_F(VqdmProgram, InfoShowsHeaderAxesIdentifiersAndLabels) {
  const Result r = Vqdm("info " + File("runup-octave.vqdm"));
  ASSERT_EQ(r.code, 0) << r.err;
  for (const char* line :
       {"version      4", "label        \"Run-up, 1/3 octave\"", "type         multiple objects",
        "31 x 1 values of float64", "priority     FIFO", "12 x 2 x 2 x 1 = 48 elements",
        "identifiers  48 set, 48 distinct, 1 .. 48", "labels       48 set, e.g. \"run 1, channel 1, 600 rpm\"",
        "x axis     bands, 31 values", "attributes 2 groups, 4 attributes", "rpm", "channel"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  const Result header = Vqdm("info --header " + File("runup.vqdm"));
  ASSERT_EQ(header.code, 0);
  EXPECT_NE(header.out.find("1024 x 1 values of float64 (8.0 KiB per element)"), std::string::npos) << header.out;
  EXPECT_EQ(header.out.find("identifiers"), std::string::npos);
}

TEST_F(VqdmProgram, SliceSumsAgreeWithExportedValues) {
  // Element (d1 3, d2 1, d3 0) as exported, summed over 100..200 Hz by hand,
  // against the d1d2 slice (fixed d3 0, d4 0) at speed 3, channel 1.
  const Result element = Vqdm("export " + File("runup.vqdm") + " --at 3 1 0 0");
  ASSERT_EQ(element.code, 0) << element.err;
  std::stringstream lines(element.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "x (Hz),record 0");
  double sum = 0;
  int count = 0;
  while (std::getline(lines, line)) {
    const std::vector<std::string> f = Split(line);
    ASSERT_EQ(f.size(), 2u);
    const double x = std::stod(f[0]);
    if (x >= 100.0 && x <= 200.0) {
      sum += std::stod(f[1]);
      ++count;
    }
  }
  EXPECT_EQ(count, 41);  // 2.5 Hz lines

  const Result slice = Vqdm("slice " + File("runup.vqdm") + " --x 100:200 --plane d1d2 --fixed 0 0");
  ASSERT_EQ(slice.code, 0) << slice.err;
  EXPECT_EQ(Lines(slice.out), 3u) << "header and one line per channel";
  std::stringstream grid(slice.out);
  std::getline(grid, line);
  const std::vector<std::string> header = Split(line);
  ASSERT_EQ(header.size(), 13u);
  EXPECT_EQ(header[0], "d2 (channel) \\ d1 (rpm)");
  EXPECT_EQ(header[4], "2100");  // 600 + 3 * 500 rpm
  std::getline(grid, line);
  std::getline(grid, line);  // channel 2 (d2 = 1)
  const std::vector<std::string> row = Split(line);
  ASSERT_EQ(row.size(), 13u);
  EXPECT_EQ(row[0], "2");
  EXPECT_NEAR(std::stod(row[4]), sum, 1e-12 * std::fabs(sum));

  // By column the grid turns over: one line per speed step.
  const Result turned = Vqdm("slice " + File("runup.vqdm") + " --x 100:200 --by column");
  ASSERT_EQ(turned.code, 0);
  EXPECT_EQ(Lines(turned.out), 13u);
}

TEST_F(VqdmProgram, SpectrumSliceGivesOneLinePerElementAndAPicture) {
  const std::string csv = File("slice.csv"), png = File("slice.png");
  const Result r = Vqdm("slice " + File("runup-octave.vqdm") + " --plane d1d3 --fixed 1 0 --spectrum --csv " + csv +
                        " --png " + png);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string text = ReadAll(csv);
  EXPECT_EQ(Lines(text), 1u + 24u);  // 12 speeds x 2 runs
  EXPECT_EQ(Split(text.substr(0, text.find('\n'))).size(), 2u + 31u);
  unsigned width = 0, height = 0;
  EXPECT_FALSE(ReadPng(png, &width, &height).empty());
  EXPECT_GE(height, 320u);
  std::remove(csv.c_str());
  std::remove(png.c_str());
}

TEST_F(VqdmProgram, BadArgumentsAndBadFilesGiveOneLineAndAnExitCode) {
  struct Case {
    std::string args;
    int code;
    const char* says;
  };
  const std::string file = File("runup-octave.vqdm");
  // A copy of the file cut in the middle of its elements.
  const std::string cut = File("cut.vqdm");
  {
    const std::string all = ReadAll(file);
    std::ofstream(cut) << all.substr(0, all.size() / 2);
  }
  for (const Case& c : std::vector<Case>{
           {"", 2, "subcommand is required"},
           {"info", 2, "FILE is required"},
           {"info /nonexistent/file", 1, "cannot open /nonexistent/file"},
           {"info " + std::string(VQDM_TOOL), 1, "is not a matrix stream"},
           {"info " + cut, 1, "is not a matrix stream"},
           {"slice " + file, 2, "either --x MIN:MAX or --spectrum"},
           {"slice " + file + " --x 5", 2, "--x must be MIN:MAX"},
           {"slice " + file + " --x 1:2", 2, "outside the x axis"},
           {"slice " + file + " --x 800:900 --plane d3d4", 2, "--plane must be"},
           {"slice " + file + " --x 800:900 --fixed 2 0", 2, "outside the matrix"},
           {"slice " + file + " --x 800:900 --record 1", 2, "--record 1 is outside"},
           {"slice " + file + " --x 800:900 --png /nonexistent/x.png", 1, "cannot write"},
           {"export " + file + " --at 0 0 0", 2, "--at"},
           {"export " + file + " --at 0 0 2 0", 2, "d3 position 2 is outside 0..1"},
           {"export " + file + " --all --csv /nonexistent/x.csv", 1, "cannot create"},
           {"demo --memory-budget lots", 2, "--memory-budget must be a size"},
           {"demo --kind other", 2, "--kind must be"},
           {"register /nonexistent/lib.so", 3, "cannot load"},
       }) {
    const Result r = Vqdm(c.args);
    EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
    EXPECT_EQ(Lines(r.err), 1u) << c.args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("vqdm: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
  }
  std::remove(cut.c_str());
}

TEST_F(VqdmProgram, HelpOnEveryCommand) {
  for (const char* command : {"", "demo ", "info ", "slice ", "export ", "register ", "unregister "}) {
    const Result r = Vqdm(std::string(command) + "--help");
    EXPECT_EQ(r.code, 0) << command;
    EXPECT_NE(r.out.find("Usage: vqdm"), std::string::npos) << command << r.out;
    EXPECT_EQ(r.err, "");
  }
}

// A budget far below what the process uses: every storage object goes to
// the swap file as soon as no client holds it, and everything still comes
// back. (The packed kind gets two storage objects, since the one a client
// has just been handed cannot be swapped.)
TEST(VqdmDemo, EverythingSwappedStillVerifiesBitExact) {
  for (const char* kind : {"single", "multi"}) {
    const Result r = Vqdm(std::string("demo --speeds 24 --channels 1 --runs 1 --lines 65536 --memory-budget 1M "
                                      "--no-progress --kind ") +
                          kind);
    ASSERT_EQ(r.code, 0) << kind << r.err << r.out;
    EXPECT_NE(r.out.find("bit-exact"), std::string::npos) << r.out;
    const size_t at = r.out.find("swapped out         ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::stoul(r.out.substr(at + 20)), 0u) << r.out;
    EXPECT_NE(r.out.find("stream files        removed"), std::string::npos);
  }
}

}  // namespace
