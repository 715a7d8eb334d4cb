// vqdm demo: a run-up measurement end to end. One narrowband spectrum per
// speed step, channel and run, and the same data in 1/3-octave bands; more
// data than the memory budget, so that storage objects go to the swap file
// and come back; slices; both matrices written to stream files, read back
// and compared bit for bit; a summary of what was measured.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/SlicePicture.h"

namespace vqdm {
namespace {

constexpr double kLineSpacing = 2.5;   // Hz between narrowband lines
constexpr double kFirstRpm = 600.0;
constexpr double kLastRpm = 6600.0;
constexpr LONG kFirstBand = 13;        // 1/3-octave band 13 is centred on 20 Hz
constexpr LONG kBands = 31;            // 20 Hz .. 20 kHz
constexpr const char* kValueUnit = "m/s\u00b2";  // accelerations

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

VQSwapStatistics2 SwapNow() {
  VQSwapStatistics2 s{};
  s.Size = sizeof(s);
  VQGetSwapStatistics2(&s);
  return s;
}

// A structure's response: resonances at 800 Hz, 2400 Hz and 6100 Hz.
double Resonance(double f) {
  const double a = (f - 800.0) / 40.0, b = (f - 2400.0) / 90.0, c = (f - 6100.0) / 200.0;
  return 1.0 / (1.0 + a * a) + 0.6 / (1.0 + b * b) + 0.4 / (1.0 + c * c);
}

// Deterministic noise in [0, 1) from two integers.
double Noise(uint64_t a, uint64_t b) {
  uint64_t x = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull);
  x ^= x >> 31;
  x *= 0xD6E8FEB86659FD93ull;
  x ^= x >> 29;
  return static_cast<double>(x >> 11) * (1.0 / 9007199254740992.0);
}

// One amplitude spectrum of a gearbox at `rpm`: shaft orders 1 and 2, the
// gear mesh (order 23) and its harmonics, each lifted where it crosses
// a resonance, over a noise floor that shows the resonances.
void FillSpectrum(double* values, LONG lines, double rpm, LONG channel, uint64_t element) {
  const double gain = 1.0 + 0.35 * channel;
  for (LONG k = 0; k < lines; ++k) {
    const double f = k * kLineSpacing;
    values[k] = gain * 2e-3 * (1.0 + 8.0 * Resonance(f)) * (0.5 + Noise(element, static_cast<uint64_t>(k)));
  }
  const double shaft = rpm / 60.0, load = (rpm / kLastRpm) * (rpm / kLastRpm);
  static const double kOrders[][2] = {{1.0, 0.5},   {2.0, 0.2},   {3.0, 0.06},  {23.0, 0.1},
                                      {46.0, 0.05}, {69.0, 0.03}, {92.0, 0.02}, {115.0, 0.01}};
  for (const auto& order : kOrders) {
    const double centre = order[0] * shaft;
    const double amplitude = gain * order[1] * load * (1.0 + 6.0 * Resonance(centre));
    const LONG middle = static_cast<LONG>(std::lround(centre / kLineSpacing));
    for (LONG k = middle - 4; k <= middle + 4; ++k) {
      if (k < 0 || k >= lines) continue;
      const double d = (k * kLineSpacing - centre) / (0.8 * kLineSpacing);
      values[k] += amplitude * std::exp(-0.5 * d * d);
    }
  }
}

struct Run {
  LONG speeds, channels, runs, lines;
  matrixType kind;
  double rpmStep;
  uint64_t Elements() const { return uint64_t(speeds) * uint64_t(channels) * uint64_t(runs); }
  double Rpm(LONG speed, LONG run) const { return kFirstRpm + rpmStep * speed + 7.0 * run; }
  LONG Id(LONG speed, LONG channel, LONG run) const { return 1 + speed + speeds * (channel + channels * run); }
  std::string Label(LONG speed, LONG channel, LONG run) const {
    char text[64];
    std::snprintf(text, sizeof text, "run %d, channel %d, %.0f rpm", run + 1, channel + 1, Rpm(speed, run));
    return text;
  }
};

// Calls step(speed, channel, run) for every spectrum in measurement order
// (run by run, speed step by speed step, every channel), with a progress line.
template <class Step>
void ForEachSpectrum(const Run& run, bool progress, const char* phase, Step&& step) {
  Progress bar(progress, phase, run.Elements(), true);
  uint64_t done = 0;
  for (LONG r = 0; r < run.runs; ++r)
    for (LONG s = 0; s < run.speeds; ++s)
      for (LONG c = 0; c < run.channels; ++c) {
        step(s, c, r);
        bar.Step(++done);
      }
}

// The dimension axes, label, attributes, identifiers and labels both matrices share.
void Describe(IVQDataMatrix* m, const Run& run, const char* label) {
  Check(m->InitializeAxis(0, kFirstRpm, run.rpmStep, Bstr("rpm")), "setting the speed axis");
  Check(m->InitializeAxis(1, 1.0, 1.0, Bstr("channel")), "setting the channel axis");
  Check(m->InitializeAxis(2, 1.0, 1.0, Bstr("run")), "setting the run axis");
  Check(m->put_MatrixLabel(Bstr(label)), "setting the label");
  vq::ComPtr<IVQData> attributes = NewItem();
  Check(attributes->AddAttribute(Bstr("Measurement"), Bstr("Object"), Bstr(""), _variant_t(L"gearbox test rig")),
        "adding an attribute");
  Check(attributes->AddAttribute(Bstr("Measurement"), Bstr("Sensor"), Bstr(""),
                                 _variant_t(L"accelerometer, m/s\u00b2")),
        "adding an attribute");
  Check(attributes->AddAttribute(Bstr("Analysis"), Bstr("Window"), Bstr(""), _variant_t(L"Hann")),
        "adding an attribute");
  Check(attributes->AddAttribute(Bstr("Analysis"), Bstr("Averages"), Bstr(""), _variant_t(8L)), "adding an attribute");
  Check(m->put_AttributesDataPtr(0, attributes.get()), "setting the attributes");
  ForEachSpectrum(run, false, "", [&](LONG s, LONG c, LONG r) {
    Check(m->put_ID(s, c, r, 0, run.Id(s, c, r)), "setting an identifier");
    Check(m->put_Label(s, c, r, 0, Bstr(run.Label(s, c, r))), "setting a label");
  });
}

vq::ComPtr<IVQData> Element(IVQDataMatrix* m, LONG s, LONG c, LONG r, bool forWriting) {
  vq::ComPtr<IUnknown> unknown;
  Check(forWriting ? m->get_DataPtr(s, c, r, 0, unknown.put()) : m->get_ConstDataPtr(s, c, r, 0, 0, unknown.put()),
        "fetching an element");
  vq::ComPtr<IVQData> item = unknown.query<IVQData>();
  if (!item) throw ToolError("an element is not a data item");
  return item;
}

// Fills the narrowband matrix in measurement order.
void FillNarrowband(IVQDataMatrix* m, const Run& run, bool progress) {
  ForEachSpectrum(run, progress, "filling", [&](LONG s, LONG c, LONG r) {
    vq::ComPtr<IVQData> item = Element(m, s, c, r, true);
    VQDataBuffer b{};
    Check(item->GetDataBuffer(&b), "reading a buffer");
    if (b.pDouble == nullptr || b.XSize != run.lines) throw ToolError("an element has an unexpected shape");
    FillSpectrum(b.pDouble, run.lines, run.Rpm(s, r), c, static_cast<uint64_t>(run.Id(s, c, r)));
  });
}

// The lines each 1/3-octave band takes: edges[b] .. edges[b + 1] - 1.
std::vector<LONG> BandEdges(LONG lines) {
  std::vector<LONG> edge(kBands + 1);
  for (LONG b = 0; b <= kBands; ++b) {
    const double f = std::pow(10.0, 0.1 * (kFirstBand + b) - 0.05);
    edge[static_cast<size_t>(b)] = std::min(lines, static_cast<LONG>(std::ceil(f / kLineSpacing)));
  }
  return edge;
}

// Band levels of a narrowband spectrum: the root of the summed squares of
// the lines inside each band's edges.
void BandLevels(const double* spectrum, const std::vector<LONG>& edge, double* levels) {
  for (LONG b = 0; b < kBands; ++b) {
    double sum = 0.0;
    for (LONG k = edge[static_cast<size_t>(b)]; k < edge[static_cast<size_t>(b) + 1]; ++k)
      sum += spectrum[k] * spectrum[k];
    levels[b] = std::sqrt(sum);
  }
}

void FillOctaves(IVQDataMatrix* bands, IVQDataMatrix* narrow, const Run& run, bool progress) {
  const std::vector<LONG> edge = BandEdges(run.lines);
  ForEachSpectrum(run, progress, "octaves", [&](LONG s, LONG c, LONG r) {
    vq::ComPtr<IVQData> source = Element(narrow, s, c, r, false);
    vq::ComPtr<IVQData> target = Element(bands, s, c, r, true);
    VQDataBuffer in{}, out{};
    Check(source->GetDataBuffer(&in), "reading a buffer");
    Check(target->GetDataBuffer(&out), "reading a buffer");
    vq::ComPtr<IVQAxis> axis;
    Check(target->GetAxis(axis.put()), "reading an axis");
    Check(axis->InitializeAsBands(kBands, kFirstBand, 3, Bstr("Hz")), "setting a band axis");
    BandLevels(in.pDouble, edge, out.pDouble);
  });
}

// Checks matrices read back from the stream files against the values the
// demo computes again: spectra and band levels bit for bit, identifiers,
// labels and the band axis. Returns the number of elements that differ.
uint64_t Verify(IVQDataMatrix* narrow, IVQDataMatrix* bands, const Run& run, bool progress) {
  const std::vector<LONG> edge = BandEdges(run.lines);
  std::vector<double> spectrum(static_cast<size_t>(run.lines)), levels(kBands);
  uint64_t differing = 0;
  ForEachSpectrum(run, progress, "verifying", [&](LONG s, LONG c, LONG r) {
    FillSpectrum(spectrum.data(), run.lines, run.Rpm(s, r), c, static_cast<uint64_t>(run.Id(s, c, r)));
    BandLevels(spectrum.data(), edge, levels.data());
    for (IVQDataMatrix* m : {narrow, bands}) {
      const std::vector<double>& expected = m == narrow ? spectrum : levels;
      vq::ComPtr<IVQData> item = Element(m, s, c, r, false);
      VQDataBuffer b{};
      Check(item->GetDataBuffer(&b), "reading a buffer");
      bool same = b.Format == dataFormatFloat64 && b.ZSize == 1 && b.pDouble != nullptr &&
                  static_cast<size_t>(b.XSize) == expected.size() &&
                  std::memcmp(b.pDouble, expected.data(), sizeof(double) * expected.size()) == 0;
      LONG id = 0;
      BSTR label = nullptr;
      same = same && SUCCEEDED(m->get_ID(s, c, r, 0, &id)) && id == run.Id(s, c, r) &&
             SUCCEEDED(m->get_Label(s, c, r, 0, &label)) && Utf8(label) == run.Label(s, c, r);
      SysFreeString(label);
      if (m == bands && same) {
        vq::ComPtr<IVQAxis> axis;
        LONG kind = -1, first = 0;
        same = SUCCEEDED(item->GetAxis(axis.put())) && SUCCEEDED(axis->GetKind(&kind)) && kind == axisKindBands &&
               SUCCEEDED(axis->GetFirstBand(&first)) && first == kFirstBand;
      }
      if (!same) ++differing;
    }
  });
  return differing;
}

// A folder for the stream files: the user's, or a fresh temporary one that
// is removed with everything the demo wrote into it.
class OutputFolder {
 public:
  explicit OutputFolder(const std::string& wanted) {
    if (!wanted.empty()) {
      if (mkdir(wanted.c_str(), 0755) != 0 && errno != EEXIST)
        throw ToolError("cannot create " + wanted + ": " + std::strerror(errno));
      m_Path = wanted;
      return;
    }
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/vqdm-demo-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      throw ToolError("cannot create a temporary folder: " + std::string(std::strerror(errno)));
    m_Path = pattern;
    m_Temporary = true;
  }
  ~OutputFolder() {
    if (!m_Temporary) return;
    for (const std::string& file : m_Files) unlink(file.c_str());
    rmdir(m_Path.c_str());
  }
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;
  std::string File(const char* name) {
    m_Files.push_back(m_Path + "/" + name);
    return m_Files.back();
  }
  bool Temporary() const { return m_Temporary; }
  const std::string& Path() const { return m_Path; }

 private:
  std::string m_Path;
  bool m_Temporary = false;
  std::vector<std::string> m_Files;
};

double FileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0.0;
}

std::string Rate(double bytes, double seconds) {
  return FormatBytes(seconds > 0 ? bytes / seconds : 0.0) + "/s";
}

}  // namespace

int RunDemo(const DemoOptions& o) {
  uint64_t budget = 0;
  if (!o.memoryBudget.empty() && !vq::ParseMemorySize(o.memoryBudget.c_str(), &budget))
    throw ToolError("--memory-budget must be a size such as 160M or 2G, not '" + o.memoryBudget + "'", 2);
  if (o.speeds < 2 || o.channels < 1 || o.runs < 1 || o.lines < 1024 || o.lines > (1 << 20))
    throw ToolError("the demo needs at least 2 speeds, 1 channel, 1 run and 1024..1048576 lines", 2);
  if (o.kind != "single" && o.kind != "multi") throw ToolError("--kind must be single or multi", 2);
  if (uint64_t(o.speeds) * uint64_t(o.channels) * uint64_t(o.runs) > 1000000)
    throw ToolError("the demo is limited to a million spectra", 2);
  Run run{o.speeds, o.channels, o.runs, o.lines, o.kind == "single" ? matrixSingleObject : matrixMultipleObjects,
          (kLastRpm - kFirstRpm) / o.speeds};
  vq::SetMemoryBudget(budget);

  Apartment apartment;
  OutputFolder folder(o.outDir);
  const double elementBytes = 8.0 * run.lines, dataBytes = elementBytes * static_cast<double>(run.Elements());
  std::printf("run-up: %d speed steps (%.0f..%.0f rpm) x %d channels x %d runs = %llu spectra of %d lines (%s)\n",
              run.speeds, kFirstRpm, run.Rpm(run.speeds - 1, 0), run.channels, run.runs,
              static_cast<unsigned long long>(run.Elements()), run.lines, FormatBytes(dataBytes).c_str());
  if (budget != 0) {
    std::printf("memory budget %s: storage objects are swapped out while less than 128 MiB of it is left\n",
                FormatBytes(static_cast<double>(budget)).c_str());
    constexpr uint64_t kSwapThreshold = 128ull << 20, kWorkingRoom = 32ull << 20;
    if (budget < ResidentBytes() + kSwapThreshold + kWorkingRoom) {
      std::printf("note: that leaves less than %s above what the process already uses; expect nearly every access "
                  "to swap\n",
                  FormatBytes(static_cast<double>(kWorkingRoom)).c_str());
    }
  } else {
    std::printf("no memory budget: swapping starts only when the machine runs low on memory\n");
  }
  std::printf("storage: %s\n",
              o.kind == "single" ? "one storage object per spectrum" : "spectra packed into shared buffers");

  // Narrowband matrix.
  const VQSwapStatistics2 atStart = SwapNow();
  auto start = Clock::now();
  vq::ComPtr<IVQDataMatrix> narrow = NewMatrix();
  Check(narrow->Initialize2(run.speeds, run.channels, run.runs, 1, run.lines, 1, dataFormatFloat64, run.kind),
        "initialising the narrowband matrix");
  Check(narrow->AllInitializeAsLinear(run.lines, 0.0, kLineSpacing, Bstr("Hz")), "setting the frequency axis");
  Describe(narrow.get(), run, "Run-up, narrowband");
  FillNarrowband(narrow.get(), run, o.progress);
  const double fillSeconds = Since(start);
  const VQSwapStatistics2 afterFill = SwapNow();
  std::printf("filled      %s in %.2f s (%s); %llu storage objects swapped out so far\n",
              FormatBytes(dataBytes).c_str(), fillSeconds, Rate(dataBytes, fillSeconds).c_str(),
              static_cast<unsigned long long>(afterFill.BlocksWritten - atStart.BlocksWritten));

  // 1/3-octave matrix, computed from the narrowband spectra.
  start = Clock::now();
  vq::ComPtr<IVQDataMatrix> bands = NewMatrix();
  Check(bands->Initialize2(run.speeds, run.channels, run.runs, 1, kBands, 1, dataFormatFloat64, run.kind),
        "initialising the 1/3-octave matrix");
  Describe(bands.get(), run, "Run-up, 1/3 octave");
  FillOctaves(bands.get(), narrow.get(), run, o.progress);
  std::printf("1/3 octave  %d bands per spectrum in %.2f s (every narrowband spectrum read once)\n", kBands,
              Since(start));

  // Slices: the resonance band over speed and channel, the Campbell picture
  // of channel 1, the 800 Hz third-octave band.
  vq::ComPtr<IVQData> sums = NewItem(), bandSums = NewItem();
  start = Clock::now();
  Check(narrow->GetD1D2Slice(780.0, 820.0, 0, 0, 0, matrixDirectionByRow, sums.get()), "the 780-820 Hz slice");
  const double sliceSeconds = Since(start);
  Check(bands->GetD1D2Slice(800.0, 800.0, 0, 0, 0, matrixDirectionByRow, bandSums.get()), "the 800 Hz band slice");
  // By row the speed runs fastest: the first `speeds` values are channel 1.
  auto loudestRpm = [&](IVQData* slice) {
    LONG sx = 0, sz = 0;
    const std::vector<double> values = ItemValues(slice, &sx, &sz);
    size_t loudest = 0;
    for (size_t i = 0; i < static_cast<size_t>(run.speeds) && i < values.size(); ++i)
      if (values[i] > values[loudest]) loudest = i;
    return run.Rpm(static_cast<LONG>(loudest), 0);
  };
  std::printf("slices      780-820 Hz over speed x channel in %.1f ms: channel 1 peaks at %.0f rpm\n",
              sliceSeconds * 1e3, loudestRpm(sums.get()));
  std::printf("            800 Hz third-octave band over speed x channel: channel 1 peaks at %.0f rpm\n",
              loudestRpm(bandSums.get()));
  {
    // The spectra of one channel over speed and run: the data of a Campbell
    // picture (kept only as long as needed: it is as large as one run).
    vq::ComPtr<IVQData> campbell = NewItem();
    start = Clock::now();
    Check(narrow->GetD1D3SliceSpectrum(0, 0, 0, matrixDirectionByRow, campbell.get()), "the spectrum slice");
    const double spectrumSeconds = Since(start);
    LONG cx = 0, cz = 0;
    const std::vector<double> campbellValues = ItemValues(campbell.get(), &cx, &cz);
    std::printf("            spectra of channel 1 over speed x run (%d x %d values) in %.1f ms\n", cx, cz,
                spectrumSeconds * 1e3);
    if (!folder.Temporary()) {
      // By row the speed runs fastest: it goes up each panel, one panel per run.
      PictureOptions options;
      options.unit = kValueUnit;
      SpectrumSlice slice;
      slice.title = "Run-up, narrowband";
      slice.fixed = "channel 1";
      slice.x = ReadItemAxis(campbell.get());
      slice.fast = ReadDimension(narrow.get(), 0);
      slice.slow = ReadDimension(narrow.get(), 2);
      slice.values = &campbellValues;
      const std::string picture = folder.Path() + "/campbell.png";
      WriteFigure(SpectrumFigure(slice, options), picture, "png");
      std::printf("picture     %s (Campbell diagram of channel 1, one panel per run)\n", picture.c_str());
    }
  }
  if (!folder.Temporary()) {
    // The 800 Hz band against speed, one line per channel.
    LONG bx = 0, bz = 0;
    const std::vector<double> bandValues = ItemValues(bandSums.get(), &bx, &bz);
    PictureOptions options;
    options.unit = kValueUnit;
    SumSlice slice;
    slice.title = "Run-up, 1/3 octave";
    slice.fixed = "run 1";
    slice.what = "of the 800 Hz band";
    slice.rows = ReadDimension(bands.get(), 1);
    slice.columns = ReadDimension(bands.get(), 0);
    slice.values = &bandValues;
    const std::string picture = folder.Path() + "/band-800hz.png";
    WriteFigure(SumFigure(slice, options), picture, "png");
    std::printf("picture     %s (the 800 Hz band against speed, one line per channel)\n", picture.c_str());
  }

  // Stream files, read back and compared.
  const std::string narrowFile = folder.File("runup.vqdm"), bandFile = folder.File("runup-octave.vqdm");
  start = Clock::now();
  {
    vq::ComPtr<IStream> out = OpenForWriting(narrowFile);
    Check(narrow->Write(out.get()), "writing " + narrowFile);
    vq::ComPtr<IStream> out2 = OpenForWriting(bandFile);
    Check(bands->Write(out2.get()), "writing " + bandFile);
  }
  const double writeSeconds = Since(start), fileBytes = FileBytes(narrowFile) + FileBytes(bandFile);
  std::printf("written     %s in %.2f s (%s)\n", FormatBytes(fileBytes).c_str(), writeSeconds,
              Rate(fileBytes, writeSeconds).c_str());

  // The matrices in memory go before their copies are read, so that the
  // copies have the budget to themselves.
  narrow = nullptr;
  bands = nullptr;
  start = Clock::now();
  vq::ComPtr<IVQDataMatrix> narrowBack = ReadMatrixFile(narrowFile), bandsBack = ReadMatrixFile(bandFile);
  const double readSeconds = Since(start);
  std::printf("read back   %s in %.2f s (%s)\n", FormatBytes(fileBytes).c_str(), readSeconds,
              Rate(fileBytes, readSeconds).c_str());
  start = Clock::now();
  const uint64_t differing = Verify(narrowBack.get(), bandsBack.get(), run, o.progress);
  std::printf("verified    %llu elements in %.2f s against values computed again: %s\n",
              static_cast<unsigned long long>(2 * run.Elements()), Since(start),
              differing == 0 ? "bit-exact" : (std::to_string(differing) + " elements DIFFER").c_str());

  const VQSwapStatistics2 atEnd = SwapNow();
  std::printf("\nsummary\n");
  std::printf("  elements            %llu narrowband + %llu 1/3-octave spectra\n",
              static_cast<unsigned long long>(run.Elements()), static_cast<unsigned long long>(run.Elements()));
  std::printf("  data                %s of spectra and %s of band levels, then read back once more\n",
              FormatBytes(dataBytes).c_str(), FormatBytes(8.0 * kBands * static_cast<double>(run.Elements())).c_str());
  std::printf("  swapped out         %llu storage objects, %s\n",
              static_cast<unsigned long long>(atEnd.BlocksWritten - atStart.BlocksWritten),
              FormatBytes(static_cast<double>(atEnd.BytesWritten - atStart.BytesWritten)).c_str());
  std::printf("  read back from swap %llu transfers, %s\n",
              static_cast<unsigned long long>(atEnd.BlocksRead - atStart.BlocksRead),
              FormatBytes(static_cast<double>(atEnd.BytesRead - atStart.BytesRead)).c_str());
  const uint64_t failedSaves = atEnd.FailedSaves - atStart.FailedSaves;
  const uint64_t failedLow = atEnd.FailedLowMemorySaves - atStart.FailedLowMemorySaves;
  const uint64_t badChecksums = atEnd.ChecksumFailures - atStart.ChecksumFailures;
  std::printf("  failed saves        %llu (%s stayed in memory), %llu while memory was low\n",
              static_cast<unsigned long long>(failedSaves),
              FormatBytes(static_cast<double>(atEnd.BytesNotSwapped - atStart.BytesNotSwapped)).c_str(),
              static_cast<unsigned long long>(failedLow));
  std::printf("  checksum failures   %llu\n", static_cast<unsigned long long>(badChecksums));
  if (failedLow != 0) {
    std::printf("  MEMORY NOT HELD     the swap file failed saves while memory was low: the process ran above %s\n",
                budget != 0 ? "its budget" : "the memory it was meant to free");
  }
  std::printf("  peak resident size  %s%s\n", FormatBytes(static_cast<double>(PeakResidentBytes())).c_str(),
              budget != 0 ? (" (budget " + FormatBytes(static_cast<double>(budget)) + ")").c_str() : "");
  std::printf("  throughput          fill %s, write %s, read %s\n", Rate(dataBytes, fillSeconds).c_str(),
              Rate(fileBytes, writeSeconds).c_str(), Rate(fileBytes, readSeconds).c_str());
  if (folder.Temporary()) {
    std::printf("  stream files        removed (keep them with --out DIR)\n");
  } else {
    std::printf("  stream files        %s, %s\n", narrowFile.c_str(), bandFile.c_str());
  }
  return differing == 0 ? 0 : 1;
}

}  // namespace vqdm
