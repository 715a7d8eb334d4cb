// The vqdm tool: the stream header reader and the pictures' layout on their own,
// then the program as a user runs it (exit codes, one-line errors, outputs
// checked against each other and against the library).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/Picture.h"
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

// ---------------------------------------------------------------------------
// The pictures' layout model.
// ---------------------------------------------------------------------------

TEST(PictureLayout, TicksAreRoundNumbersCoveringTheRange) {
  struct Case {
    double low, high;
    int most;
    std::vector<double> ticks;
  } cases[] = {
      {0, 20000, 10, {0, 5000, 10000, 15000, 20000}},
      {600, 6570, 8, {1000, 2000, 3000, 4000, 5000, 6000}},
      {-63.2, -3.2, 6, {-60, -50, -40, -30, -20, -10}},
      {0.5, 2.5, 5, {0.5, 1, 1.5, 2, 2.5}},
      {1, 2, 12, {1, 1.1, 1.2, 1.3, 1.4, 1.5, 1.6, 1.7, 1.8, 1.9, 2}},
      {780, 820, 4, {780, 800, 820}},
      {7, 7, 5, {7}},
  };
  for (const Case& c : cases) {
    const std::vector<double> ticks = vqdm::RoundTicks(c.low, c.high, c.most);
    ASSERT_EQ(ticks.size(), c.ticks.size()) << c.low << ".." << c.high;
    for (size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], c.ticks[i], 1e-9) << c.low << ".." << c.high;
  }
  struct Text {
    double value, step;
    const char* text;
  } texts[] = {{20000, 5000, "20000"}, {1.5, 0.5, "1.5"}, {0.30000000000000004, 0.1, "0.3"},
               {-1e-17, 0.1, "0.0"},   {-40, 10, "-40"},  {0.25, 0.05, "0.25"}};
  for (const Text& t : texts) EXPECT_EQ(vqdm::TickText(t.value, t.step), t.text) << t.value;
  struct Band {
    long band, fraction;
    const char* text;
  } bands[] = {{13, 3, "20"},  {15, 3, "31.5"}, {30, 3, "1k"},  {41, 3, "12.5k"},
               {43, 3, "20k"}, {10, 1, "1k"},   {-1, 3, "0.8"}, {1, 12, "1.06"}};
  for (const Band& b : bands) EXPECT_EQ(vqdm::BandCentreText(b.band, b.fraction), b.text) << b.band;
}

TEST(PictureLayout, AxisTicksSitOnTheirPointsAndBandsOnOctavesWhenCrowded) {
  vqdm::ItemAxis linear{0, {}, "Hz"};
  for (int i = 0; i < 4000; ++i) linear.values.push_back(2.5 * i);
  const std::vector<vqdm::Tick> ticks = vqdm::AxisTicks(linear, 400, 3999, 10);  // 1000 .. 9997.5 Hz
  ASSERT_FALSE(ticks.empty());
  EXPECT_EQ(ticks.front().text, "1000");
  EXPECT_DOUBLE_EQ(ticks.front().at, 0.5);  // the middle of point 400's cell
  EXPECT_EQ(ticks.back().text, "9000");
  EXPECT_DOUBLE_EQ(ticks.back().at, 3200.5);

  vqdm::ItemAxis bands{2, std::vector<double>(31), "Hz", 13, 3};
  EXPECT_EQ(vqdm::AxisTicks(bands, 0, 30, 40).size(), 31u);
  std::vector<std::string> octaves;
  for (const vqdm::Tick& t : vqdm::AxisTicks(bands, 0, 30, 12)) octaves.push_back(t.text);
  EXPECT_EQ(octaves, (std::vector<std::string>{"31.5", "63", "125", "250", "500", "1k", "2k", "4k", "8k", "16k"}));
}

TEST(PictureLayout, BinsJoinTheirLargestOrMeanValue) {
  EXPECT_EQ(vqdm::BinEdges(10, 4), (std::vector<size_t>{0, 2, 5, 7, 10}));
  EXPECT_EQ(vqdm::BinEdges(3, 8), (std::vector<size_t>{0, 1, 2, 3}));
  const vqdm::Grid grid{2, 4, {1, 5, 2, NAN, 3, 0, 8, 4}};
  struct Case {
    size_t rows, columns;
    bool mean;
    std::vector<double> cells;
  } cases[] = {{1, 2, false, {5, 8}},
               {1, 2, true, {9.0 / 4, 14.0 / 3}},
               {2, 1, false, {5, 8}},
               {5, 5, false, {1, 5, 2, NAN, 3, 0, 8, 4}}};
  for (const Case& c : cases) {
    const vqdm::Grid binned = vqdm::BinGrid(grid, c.rows, c.columns, c.mean);
    ASSERT_EQ(binned.cells.size(), c.cells.size());
    for (size_t i = 0; i < c.cells.size(); ++i) {
      if (std::isnan(c.cells[i]))
        EXPECT_TRUE(std::isnan(binned.cells[i]));
      else
        EXPECT_DOUBLE_EQ(binned.cells[i], c.cells[i]);
    }
  }
}

// The cells a spectrum picture joins record by record, as a slice read in
// chunks adds them, hold what binning the whole grid of powers gives.
TEST(PictureLayout, CellsJoinedRecordByRecordAreTheWholeGridBinned) {
  const size_t fastSize = 700, slowSize = 10, xs = 2500;
  vqdm::SpectrumSlice slice;
  for (size_t i = 0; i < xs; ++i) slice.x.values.push_back(static_cast<double>(i));
  slice.fast = {0, 0.0, 1.0, "rpm", static_cast<long>(fastSize)};
  slice.slow = {2, 1.0, 1.0, "run", static_cast<long>(slowSize)};
  std::vector<double> values(fastSize * slowSize * xs);
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = i % 97 == 0 ? NAN : std::sin(static_cast<double>(i) * 0.37) * static_cast<double>(i % 13 + 1);
  struct Case {
    const char* style;
    const char* bin;
    bool linear;
    int dbFactor;
    double xFrom, xTo;
  } cases[] = {{"map", "max", false, 20, NAN, NAN},
               {"map", "mean", false, 10, 100, 2000},
               {"waterfall", "mean", true, 20, NAN, NAN},
               {"waterfall", "max", false, 10, 2400, 2499},
               {"map", "mean", false, 20, 7, 7}};
  for (const Case& c : cases) {
    vqdm::PictureOptions options;
    options.style = c.style;
    options.bin = c.bin;
    options.linear = c.linear;
    options.dbFactor = c.dbFactor;
    slice.xFrom = c.xFrom;
    slice.xTo = c.xTo;
    vqdm::SpectrumCells cells(slice, options);
    // Records come in any order: a chunk's in its order, the chunks in theirs.
    for (size_t z = fastSize * slowSize; z-- > 0;) cells.Add(z, values.data() + z * xs);
    const std::vector<vqdm::Grid> grids = cells.Grids();
    ASSERT_EQ(grids.size(), 8u) << c.style;  // the most panels drawn
    for (size_t p = 0; p < grids.size(); ++p) {
      vqdm::Grid whole;
      whole.rows = fastSize;
      whole.columns = cells.last - cells.first + 1;
      for (size_t r = 0; r < fastSize; ++r) {
        for (size_t k = cells.first; k <= cells.last; ++k) {
          const double v = values[(p * fastSize + r) * xs + k];
          whole.cells.push_back(c.linear ? v : c.dbFactor == 20 ? v * v : std::fabs(v));
        }
      }
      const vqdm::Grid expected =
          vqdm::BinGrid(whole, cells.rowEdges.size() - 1, cells.columnEdges.size() - 1, std::string(c.bin) == "mean");
      ASSERT_EQ(grids[p].rows, expected.rows);
      ASSERT_EQ(grids[p].columns, expected.columns);
      for (size_t i = 0; i < expected.cells.size(); ++i) {
        if (std::isnan(expected.cells[i])) {
          EXPECT_TRUE(std::isnan(grids[p].cells[i])) << c.style << " " << i;
        } else {
          EXPECT_NEAR(grids[p].cells[i], expected.cells[i], 1e-9 * (1 + std::fabs(expected.cells[i])))
              << c.style << " " << c.bin << " panel " << p << " cell " << i;
        }
      }
    }
  }
  slice.xFrom = 2500.5;
  slice.xTo = 2600;
  EXPECT_THROW(vqdm::SpectrumCells(slice, vqdm::PictureOptions{}), vqdm::ToolError);
}

// A run-up of 3000 speed steps x 2 runs of 5000 lines, amplitude 10^(i/1000)
// at line i: a picture of it, as a model.
TEST(PictureLayout, CampbellModelNamesEverythingAndFitsThePixels) {
  std::vector<double> values(3000 * 2 * 5000);
  for (size_t i = 0; i < values.size(); ++i) values[i] = std::pow(10.0, static_cast<double>(i % 5000) / 1000.0);
  vqdm::SpectrumSlice slice;
  slice.title = "Run-up";
  slice.fixed = "channel 1";
  slice.x.unit = "Hz";
  for (int i = 0; i < 5000; ++i) slice.x.values.push_back(2.5 * i);
  slice.fast = {0, 600.0, 2.0, "rpm", 3000};
  slice.slow = {2, 1.0, 1.0, "run", 2};
  slice.values = &values;
  vqdm::PictureOptions options;
  options.unit = "m/s\u00b2";
  const vqdm::Figure f = vqdm::SpectrumFigure(slice, options);
  EXPECT_EQ(f.title, "Run-up");
  EXPECT_EQ(f.subtitle, "Campbell diagram: spectra over speed, channel 1");
  EXPECT_EQ(f.x.label, "Frequency (Hz)");
  EXPECT_EQ(f.bar.label, "dB re 1 m/s\u00b2");
  ASSERT_EQ(f.panels.size(), 2u);
  EXPECT_EQ(f.panels[1].caption, "run 2");
  EXPECT_EQ(f.panels[0].y.label, "Speed (rpm)");
  EXPECT_EQ(f.panels[0].y.ticks.front().text, "1000");
  const vqdm::Frame frame = vqdm::PlotFrame(f);
  EXPECT_LE(f.panels[0].map.rows, static_cast<size_t>(frame.panelHeight));
  EXPECT_LE(f.panels[0].map.columns, static_cast<size_t>(frame.width));
  // Levels 0 .. 100 dB (20·log10 of 1 .. 10^5): 60 dB shown, numbered every 10.
  EXPECT_DOUBLE_EQ(f.bar.high, 100.0);
  EXPECT_DOUBLE_EQ(f.bar.low, 40.0);
  std::vector<std::string> numbers;
  for (const vqdm::Tick& t : f.bar.ticks) numbers.push_back(t.text);
  EXPECT_EQ(numbers, (std::vector<std::string>{"40", "50", "60", "70", "80", "90", "100"}));

  options.dbFactor = 10;
  options.rangeDb = 20;
  options.style = "waterfall";
  slice.xFrom = 1000;
  slice.xTo = 2000;
  const vqdm::Figure w = vqdm::SpectrumFigure(slice, options);
  EXPECT_EQ(w.subtitle, "Waterfall: spectra over speed, channel 1");
  EXPECT_EQ(w.bar.high, 8.0);  // 10·log10 of 10^0.8 at 2000 Hz
  EXPECT_EQ(w.x.ticks.front().text, "1000");
  EXPECT_EQ(w.x.ticks.back().text, "2000");
  EXPECT_LE(w.panels[0].lines.size(), static_cast<size_t>(frame.panelHeight / 10));
  EXPECT_EQ(w.levelScale, "20 dB");

  // Sums against speed: one line per channel.
  std::vector<double> sums(4 * 3000, 0.5);
  const vqdm::SumSlice cut{"Run-up",   "run 1", "of the sum over 780 to 820 Hz", {1, 1.0, 1.0, "channel", 4},
                           slice.fast, &sums};
  const vqdm::Figure lines = vqdm::SumFigure(cut, vqdm::PictureOptions{});
  EXPECT_EQ(lines.subtitle, "Level of the sum over 780 to 820 Hz against speed, run 1");
  EXPECT_EQ(lines.panels[0].y.label, "Level (dB re 1)");
  EXPECT_EQ(lines.panels[0].lines.size(), 4u);
  EXPECT_EQ(lines.panels[0].lines[3].name, "channel 4");
  EXPECT_LE(lines.panels[0].lines[0].x.size(), static_cast<size_t>(frame.width));
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

// "png 1200x800", "svg", "pdf" from a picture file's first bytes; "" for anything else.
std::string PictureKind(const std::string& path) {
  const std::string bytes = ReadAll(path);
  if (bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0 && bytes.size() > 24) {
    auto word = [&](size_t at) {
      return (unsigned(uint8_t(bytes[at])) << 24) | (unsigned(uint8_t(bytes[at + 1])) << 16) |
             (unsigned(uint8_t(bytes[at + 2])) << 8) | unsigned(uint8_t(bytes[at + 3]));
    };
    return "png " + std::to_string(word(16)) + "x" + std::to_string(word(20));
  }
  if (bytes.rfind("<?xml", 0) == 0 && bytes.find("<svg") != std::string::npos) return "svg";
  if (bytes.rfind("%PDF-", 0) == 0) return "pdf";
  return "";
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
    for (const char* f : {"/runup.vqdm", "/runup-octave.vqdm", "/campbell.png", "/band-800hz.png"})
      std::remove((s_Dir + f).c_str());
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
  EXPECT_EQ(PictureKind(File("campbell.png")), "png 1200x800");
  EXPECT_EQ(PictureKind(File("band-800hz.png")), "png 1200x800");
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

  EXPECT_EQ(Vqdm("slice " + File("runup.vqdm") + " --x 100 200 --plane d1d2 --fixed 0 0").out, slice.out);

  // By column the grid turns over: one line per speed step.
  const Result turned = Vqdm("slice " + File("runup.vqdm") + " --x 100:200 --by column");
  ASSERT_EQ(turned.code, 0);
  EXPECT_EQ(Lines(turned.out), 13u);
}

TEST_F(VqdmProgram, SpectrumSliceGivesOneLinePerElementAndPictures) {
  const std::string csv = File("slice.csv");
  const Result r = Vqdm("slice " + File("runup-octave.vqdm") + " --plane d1d3 --fixed 1 0 --spectrum --csv " + csv);
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string text = ReadAll(csv);
  EXPECT_EQ(Lines(text), 1u + 24u);  // 12 speeds x 2 runs
  EXPECT_EQ(Split(text.substr(0, text.find('\n'))).size(), 2u + 31u);
  // --x keeps the bands from 100 Hz to 1 kHz: 11 of them.
  ASSERT_EQ(Vqdm("slice " + File("runup-octave.vqdm") + " --spectrum --x 100 1000 --csv " + csv).code, 0);
  EXPECT_EQ(Split(ReadAll(csv).substr(0, ReadAll(csv).find('\n'))).size(), 2u + 11u);
  std::remove(csv.c_str());

  struct Case {
    const char* file;
    const char* args;
    const char* kind;
  } cases[] = {{"campbell.svg", " --spectrum --x 500:2000", "svg"},
               {"waterfall.pdf", " --spectrum --style waterfall --plane d1d3", "pdf"},
               {"cut.png", " --x 780:820 --size 640x480 --db 10", "png 640x480"},
               {"picture", " --x 780:820 --style map --format svg", "svg"}};
  for (const Case& c : cases) {
    const Result p = Vqdm("slice " + File("runup.vqdm") + c.args + " --picture " + File(c.file));
    EXPECT_EQ(p.code, 0) << c.args << p.err;
    EXPECT_EQ(p.out, "") << "no CSV when only a picture is asked for";
    EXPECT_EQ(PictureKind(File(c.file)), c.kind) << c.args;
    std::remove(File(c.file).c_str());
  }
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
           {"slice " + file + " --x 5", 2, "--x must be MIN:MAX or MIN MAX"},
           {"slice " + file + " --x 1:2", 2, "outside the x axis"},
           {"slice " + file + " --x 800:900 --plane d3d4", 2, "--plane must be"},
           {"slice " + file + " --x 800:900 --fixed 2 0", 2, "outside the matrix"},
           {"slice " + file + " --x 800:900 --record 1", 2, "--record 1 is outside"},
           {"slice " + file + " --x 800:900 --png /nonexistent/x.png", 1, "cannot write"},
           {"slice " + file + " --spectrum --range-db 0 --png x.png", 2, "--range-db must be a number of dB above 0"},
           {"slice " + file + " --spectrum --range-db -5", 2, "--range-db must be"},
           {"slice " + file + " --spectrum --db 3 --png x.png", 2, "--db must be 20 (amplitudes) or 10"},
           {"slice " + file + " --spectrum --png x.jpg", 2, "cannot tell the picture format"},
           {"slice " + file + " --spectrum --style lines --png x.png", 2, "--style lines draws sums"},
           {"slice " + file + " --spectrum --x 801:802", 2, "holds no point"},
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
