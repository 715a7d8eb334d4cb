// Reading stream files without holding them: the scanner against the
// library's own reader, damaged files refused cleanly (in-process and by the
// program), the command line's small rules, and the program's peak memory on
// a file several times larger than its bound.
#include "tools/vqdm/StreamScan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/ProcessInfo.h"
#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "vqdata/VQDataTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 3 x 2 x 2 x 1 matrix of 5 x 2 float32 values whose elements differ in
// values, IDs and labels (element 4 has none).
Bytes SmallStream(matrixType kind) {
  vq::ComPtr<IVQDataMatrix> m = vqdm::NewMatrix();
  EXPECT_EQ(m->Initialize2(3, 2, 2, 1, 5, 2, dataFormatFloat32, kind), S_OK);
  for (LONG e = 0; e < 12; ++e) {
    vq::ComPtr<IUnknown> unknown;
    EXPECT_EQ(m->get_DataPtr(e % 3, e / 3 % 2, e / 6, 0, unknown.put()), S_OK);
    EXPECT_EQ(unknown.query<IVQData>()->SetValue(e % 5, 1, e + 0.5, 0.0), S_OK);
    EXPECT_EQ(unknown.query<IVQData>()->SetValue(e % 4, 0, e * 0.25, 0.0), S_OK);
    EXPECT_EQ(m->put_ID(e % 3, e / 3 % 2, e / 6, 0, 100 + e), S_OK);
    if (e != 4) {
      EXPECT_EQ(m->put_Label(e % 3, e / 3 % 2, e / 6, 0, vqdm::Bstr("element " + std::to_string(e))), S_OK);
    }
  }
  vq::ComPtr<IStream> s = vqtest::NewStream();
  EXPECT_EQ(m->Write(s.get()), S_OK);
  return vqtest::BytesOf(s.get());
}

// Scans to the end: S_OK with every record, or the failure and its reason.
HRESULT ScanAll(const Bytes& bytes, std::vector<vqdm::ElementRecord>* records, std::string* problem = nullptr) {
  vq::ComPtr<IStream> s = vqtest::StreamOf(bytes);
  vqdm::StreamScanner scanner;
  HRESULT hr = scanner.Open(s.get());
  vqdm::ElementRecord record;
  while (SUCCEEDED(hr) && (hr = scanner.Next(&record)) == S_OK) records->push_back(record);
  if (problem != nullptr) *problem = scanner.Problem();
  if (hr == S_FALSE) {
    EXPECT_EQ(records->size(), scanner.Elements());
  }
  return hr == S_FALSE ? S_OK : hr;
}

TEST(StreamScanner, FindsWhatTheLibraryReadsAndLoadsEachElementAlone) {
  vqtest::EnsureApartment();
  for (const matrixType kind : {matrixSingleObject, matrixMultipleObjects}) {
    const Bytes bytes = SmallStream(kind);
    std::vector<vqdm::ElementRecord> records;
    ASSERT_EQ(ScanAll(bytes, &records), S_OK);
    ASSERT_EQ(records.size(), 12u);
    vq::ComPtr<IVQDataMatrix> model = vqdm::NewMatrix();
    ASSERT_EQ(model->Read(vqtest::StreamOf(bytes).get()), S_OK);
    const vq::ComPtr<IStream> file = vqtest::StreamOf(bytes);
    for (const vqdm::ElementRecord& r : records) {
      const LONG d1 = static_cast<LONG>(r.index % 3), d2 = static_cast<LONG>(r.index / 3 % 2), d3 = r.index >= 6;
      LONG id = 0, xs = 0, zs = 0;
      BSTR label = nullptr;
      ASSERT_EQ(model->get_ID(d1, d2, d3, 0, &id), S_OK);
      ASSERT_EQ(model->get_Label(d1, d2, d3, 0, &label), S_OK);
      EXPECT_EQ(r.id, id);
      EXPECT_EQ(r.label, vqdm::Utf8(label));
      SysFreeString(label);
      EXPECT_EQ(std::vector<LONG>({r.format, r.xSize, r.zSize}), std::vector<LONG>({dataFormatFloat32, 5, 2}));
      vq::ComPtr<IVQData> alone;
      ASSERT_EQ(vqdm::LoadElement(file.get(), r.formOffset, &alone), S_OK);
      vq::ComPtr<IUnknown> held;
      ASSERT_EQ(model->get_ConstDataPtr(d1, d2, d3, 0, 0, held.put()), S_OK);
      EXPECT_EQ(vqdm::ItemValues(alone.get(), &xs, &zs), vqdm::ItemValues(held.query<IVQData>().get(), &xs, &zs))
          << r.index;
    }
  }
}

// Every cut and every byte flipped three ways: a cut stream is refused, a
// flipped one refused with a reason or scanned to the last element its header
// declares (ScanAll checks that), never
// reading outside what the stream holds (the sanitizer build checks that).
TEST(StreamScanner, CutOrFlippedStreamsAreRefusedWithAReason) {
  vqtest::EnsureApartment();
  const Bytes good = SmallStream(matrixMultipleObjects);
  for (size_t cut = 0; cut < good.size(); ++cut) {
    std::vector<vqdm::ElementRecord> records;
    std::string problem;
    const HRESULT hr = ScanAll(Bytes(good.begin(), good.begin() + static_cast<long>(cut)), &records, &problem);
    ASSERT_TRUE(hr == HRESULT_FROM_WIN32(ERROR_HANDLE_EOF) || hr == HRESULT_FROM_WIN32(ERROR_INVALID_DATA)) << cut;
    EXPECT_FALSE(problem.empty()) << cut;
  }
  for (size_t at = 0; at < good.size(); ++at) {
    for (const uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes bad = good;
      bad[at] ^= mask;
      std::vector<vqdm::ElementRecord> records;
      std::string problem;
      if (FAILED(ScanAll(bad, &records, &problem))) {
        EXPECT_FALSE(problem.empty()) << at;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The program.
// ---------------------------------------------------------------------------

// Through a string stream: g++ 12 with -fsanitize=thread warns falsely
// (-Wnull-dereference) about a string built from istreambuf_iterators.
std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Outcome {
  int code = -1;
  std::string out, err;
  uint64_t peakBytes = 0;
};

// Runs a program on space-separated arguments, with its outputs in files and
// its own peak resident size (wait4 reports this child alone, where
// RUSAGE_CHILDREN would give the largest child the test ever waited for).
Outcome Execute(const std::string& program, const std::string& arguments) {
  std::vector<std::string> words{program};
  std::istringstream split(arguments);
  for (std::string word; split >> word;) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string stem = ::testing::TempDir() + "streamscan-" + std::to_string(getpid());
  const std::string out = stem + ".out", err = stem + ".err";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  Outcome r;
  int status = 0;
  struct rusage usage {};
  if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.peakBytes = static_cast<uint64_t>(usage.ru_maxrss) * 1024;
  }
  r.out = ReadAll(out);
  r.err = ReadAll(err);
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

std::string WriteFile(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + "streamscan-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

void Put32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> 8 * i);
}

// One table for the program: damaged files end a command with 1 and one line
// saying where; the command line's rules (versions, an unknown command, a
// reversed range, options on either side of the FILE, which stands for the
// case's file) with their codes and outputs.
TEST(VqdmReading, CommandsAnswerAsTheTableSays) {
  vqtest::EnsureApartment();
  const Bytes single = SmallStream(matrixSingleObject), multi = SmallStream(matrixMultipleObjects);
  std::vector<vqdm::ElementRecord> records;
  ASSERT_EQ(ScanAll(single, &records), S_OK);
  vqdm::StreamHeader header;
  ASSERT_EQ(vqdm::ReadStreamHeader(vqtest::StreamOf(single).get(), &header), S_OK);
  const size_t firstRecord = header.headerBytes, d1Size = firstRecord - 4 * 25;  // units empty: 25-byte records
  const size_t form = records[0].formOffset, lastForm = records.back().formOffset;
  const auto vals = [&](const Bytes& b, size_t from) {
    const char tag[] = "VALS";
    return static_cast<size_t>(std::search(b.begin() + static_cast<long>(from), b.end(), tag, tag + 4) - b.begin());
  };
  const std::string record1 = "x,record 1\n0,5.5\n1,0\n2,0\n3,0\n4,0\n";
  struct Case {
    std::function<void(Bytes&)> damage;
    std::string command;
    int code;
    std::string says;  // standard output begins so on success, else the one line on standard error holds it
    bool multiple = false;
  };
  const std::vector<Case> cases{
      {nullptr, "--version", 0, std::string("vqdm ") + VQ_PROJECT_VERSION + "\n"},
      {nullptr, "bogus FILE", 2, "vqdm: unknown command 'bogus'"},
      {nullptr, "slice FILE --x 3:2", 2, "vqdm: --x 3:2 is reversed"},
      {nullptr, "export --at 2 1 0 0 FILE --record 1", 0, record1},
      {nullptr, "export FILE --record 1 --at 2 1 0 0", 0, record1},
      {nullptr, "slice --fixed 0 0 FILE --x 0:4 --record 1", 0, "d2 \\ d1,0,0,0\n0,0.5,1.5,2.5\n"},
      {nullptr, "slice --x 0:4 FILE --record 1", 0, "d2 \\ d1,0,0,0\n0,0.5,1.5,2.5\n"},
      {nullptr, "slice --x 0 4 FILE --fixed 0 0 --record 1", 0, "d2 \\ d1,0,0,0\n0,0.5,1.5,2.5\n"},
      {nullptr, "slice FILE --x 0:4 FILE", 2, "vqdm: The following argument was not expected: FILE"},
      {nullptr, "slice --x 0:4", 2, "vqdm: FILE is required"},
      {[](Bytes& b) { b.resize(20); }, "info FILE", 1, "the file ends inside the header"},
      {[&](Bytes& b) { Put32(b, d1Size, 0); }, "info FILE", 1, "d1 has size 0"},
      {[&](Bytes& b) { Put32(b, d1Size, 3000); }, "slice FILE --spectrum", 1, "cannot fit"},
      {[&](Bytes& b) { Put32(b, firstRecord + 4, 20000); }, "info FILE", 1, "a label of 20000 bytes"},
      {[&](Bytes& b) { b[form] = 'X'; }, "export FILE --at 2 1 0 0", 1, "no data item follows its label"},
      {[&](Bytes& b) { Put32(b, lastForm + 12, 1); }, "export FILE --all", 1, "runs past the end of the file"},
      {[&](Bytes& b) { Put32(b, form + 8, 30); }, "info FILE", 1, "sections run past its end"},
      {[&](Bytes& b) { Put32(b, vals(b, lastForm) + 16, 6); }, "info FILE", 1, "values do not match their shape"},
      {[&](Bytes& b) { Put32(b, d1Size - 12, 4); }, "export FILE --at 0 0 0 0", 1, "where the header says", true},
      {[&](Bytes& b) { b[vals(b, form) + 28] ^= 1; }, "export FILE --at 0 0 0 0", 1, "checksum mismatch"},
      {[](Bytes& b) { b.resize(b.size() - 7); }, "slice FILE --x 1:2 --fixed 1 0", 1, "runs past the end"},
  };
  for (const Case& c : cases) {
    Bytes bytes = c.multiple ? multi : single;
    if (c.damage) c.damage(bytes);
    const std::string file = WriteFile("case.vqdm", bytes);
    std::string arguments = c.command;
    if (arguments.find("FILE") != std::string::npos) arguments.replace(arguments.find("FILE"), 4, file);
    const Outcome r = Execute(VQDM_TOOL, arguments);
    EXPECT_EQ(r.code, c.code) << c.command << "\n" << r.err;
    if (c.code == 0) {
      EXPECT_EQ(r.out.substr(0, c.says.size()), c.says) << c.command;
      EXPECT_EQ(r.err, "") << c.command << ": no progress line when standard error is no terminal";
    } else {
      EXPECT_EQ(r.err.rfind(c.code == 1 ? "vqdm: " + file + " is not a matrix stream: " : "vqdm: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << c.command << "\n" << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    std::remove(file.c_str());
  }
  EXPECT_EQ(Execute(VQREGSVR_TOOL, "--version").out, std::string("vqregsvr ") + VQ_PROJECT_VERSION + "\n");
}

// The program slices chunk by chunk; the model is the library's slice of the
// whole matrix: every plane, both directions, sums and spectra.
TEST(VqdmReading, SlicesAreTheLibrarysSlicesOfTheWholeMatrix) {
  vqtest::EnsureApartment();
  const Bytes bytes = SmallStream(matrixMultipleObjects);
  const std::string file = WriteFile("planes.vqdm", bytes);
  vq::ComPtr<IVQDataMatrix> model = vqdm::NewMatrix();
  ASSERT_EQ(model->Read(vqtest::StreamOf(bytes).get()), S_OK);
  const char* const planes[] = {"d1d2", "d1d3", "d2d3"};
  for (int p = 0; p < 3; ++p) {
    for (const matrixDirectionType dir : {matrixDirectionByRow, matrixDirectionByColumn}) {
      for (const bool spectrum : {false, true}) {
        const std::string args = std::string("slice ") + file + " --record 1 --fixed 1 0 --plane " + planes[p] +
                                 (dir == matrixDirectionByRow ? " --by row" : " --by column") +
                                 (spectrum ? " --spectrum" : " --x 1:3");
        const Outcome r = Execute(VQDM_TOOL, args);
        ASSERT_EQ(r.code, 0) << args << "\n" << r.err;
        std::vector<double> shown;
        std::istringstream lines(r.out.substr(r.out.find('\n') + 1));
        for (std::string line; std::getline(lines, line);) {
          std::istringstream fields(line);
          std::string field;
          for (int skip = spectrum ? 2 : 1; std::getline(fields, field, ',');) {
            if (skip-- <= 0) shown.push_back(std::stod(field));
          }
        }
        vq::ComPtr<IVQData> expected = vqtest::NewItem();
        IUnknown* target = expected.get();
        HRESULT (IVQDataMatrix::*const sums[])(DOUBLE, DOUBLE, LONG, LONG, LONG, matrixDirectionType, IUnknown*) = {
            &IVQDataMatrix::GetD1D2Slice, &IVQDataMatrix::GetD1D3Slice, &IVQDataMatrix::GetD2D3Slice};
        HRESULT (IVQDataMatrix::*const spectra[])(LONG, LONG, LONG, matrixDirectionType, IUnknown*) = {
            &IVQDataMatrix::GetD1D2SliceSpectrum, &IVQDataMatrix::GetD1D3SliceSpectrum,
            &IVQDataMatrix::GetD2D3SliceSpectrum};
        ASSERT_EQ(spectrum ? (model.get()->*spectra[p])(1, 1, 0, dir, target)
                           : (model.get()->*sums[p])(1.0, 3.0, 1, 1, 0, dir, target),
                  S_OK);
        LONG xs = 0, zs = 0;
        EXPECT_EQ(shown, vqdm::ItemValues(expected.get(), &xs, &zs)) << args;
      }
    }
  }
  std::remove(file.c_str());
}

// A 256 MiB file of 1 MiB elements, written as three elements' records in
// turn behind the header of a matrix of that many one-value elements (each
// record stands alone, and a single-object header fixes no element shape):
// the test never holds more than one element. The slice's sums, taken over
// 32 chunks, show each element's own value at its own position.
TEST(VqdmReading, MemoryStaysFarBelowTheFileSize) {
  if (vq::test::kSanitized) GTEST_SKIP() << "the sanitizers' shadow memory is no measure of the tool's";
  vqtest::EnsureApartment();
  constexpr LONG kElements = 256, kValues = 131072;
  auto written = [](LONG d1, LONG values, double value) {
    vq::ComPtr<IVQDataMatrix> m = vqdm::NewMatrix();
    EXPECT_EQ(m->Initialize2(d1, 1, 1, 1, values, 1, dataFormatFloat64, matrixSingleObject), S_OK);
    vq::ComPtr<IUnknown> unknown;
    EXPECT_EQ(m->get_DataPtr(0, 0, 0, 0, unknown.put()), S_OK);
    EXPECT_EQ(unknown.query<IVQData>()->SetAllValues(value), S_OK);
    unknown = nullptr;
    vq::ComPtr<IStream> s = vqtest::NewStream();
    EXPECT_EQ(m->Write(s.get()), S_OK);
    return vqtest::BytesOf(s.get());
  };
  const Bytes headed = written(kElements, 1, 0.0);
  const Bytes records[] = {written(1, kValues, 1.0), written(1, kValues, 2.0), written(1, kValues, 3.0)};
  vqdm::StreamHeader small, large;
  ASSERT_EQ(vqdm::ReadStreamHeader(vqtest::StreamOf(headed).get(), &small), S_OK);
  ASSERT_EQ(vqdm::ReadStreamHeader(vqtest::StreamOf(records[0]).get(), &large), S_OK);
  const std::string file = WriteFile("large.vqdm", Bytes(headed.begin(), headed.begin() + small.headerBytes));
  const uint64_t recordBytes = records[0].size() - large.headerBytes, fileBytes = kElements * recordBytes;
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    for (LONG e = 0; e < kElements; ++e) {
      out.write(reinterpret_cast<const char*>(records[e % 3].data() + large.headerBytes),
                static_cast<std::streamsize>(recordBytes));
    }
  }
  const std::string png = file + ".png";
  for (const std::string& command : {"info " + file, "export " + file + " --at 255 0 0 0",
                                     "slice " + file + " --x 100:200", "slice " + file + " --spectrum --png " + png}) {
    const Outcome r = Execute(VQDM_TOOL, command);
    EXPECT_EQ(r.code, 0) << command << "\n" << r.err;
    EXPECT_LT(r.peakBytes, fileBytes / 4) << command << ": " << vqdm::FormatBytes(static_cast<double>(r.peakBytes));
    if (command.find("--x") == std::string::npos) continue;
    std::istringstream sums(r.out.substr(r.out.find('\n') + 1));
    std::string field;
    std::getline(sums, field, ',');  // the row's position
    for (LONG e = 0; e < kElements && std::getline(sums, field, ','); ++e) EXPECT_EQ(std::stod(field), 101 * (e % 3 + 1));
  }
  std::remove(file.c_str());
  std::remove(png.c_str());
}

}  // namespace
