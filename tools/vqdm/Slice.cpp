// vqdm slice and vqdm export: values of a matrix stream file as CSV and as a
// picture. Both scan the file (StreamScan.h) and load only the elements they
// need, so their memory does not grow with the file.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>

#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/SlicePicture.h"
#include "tools/vqdm/StreamScan.h"

namespace vqdm {
namespace {

// Standard output for "" and "-", else a new file.
class Output {
 public:
  explicit Output(const std::string& path) : m_Path(path) {
    if (path.empty() || path == "-") {
      m_File = stdout;
    } else {
      m_File = std::fopen(path.c_str(), "w");
      if (m_File == nullptr) throw ToolError("cannot create " + path + ": " + std::strerror(errno));
      m_Owned = true;
    }
  }
  ~Output() {
    if (m_Owned) std::fclose(m_File);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  FILE* get() const { return m_File; }
  void Finish() {
    const bool failed = std::ferror(m_File) != 0 || std::fflush(m_File) != 0;
    if (m_Owned) {
      const bool closeFailed = std::fclose(m_File) != 0;
      m_Owned = false;
      if (failed || closeFailed) throw ToolError("cannot write " + m_Path);
    } else if (failed) {
      throw ToolError("cannot write the output");
    }
  }

 private:
  std::string m_Path;
  FILE* m_File = nullptr;
  bool m_Owned = false;
};

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Values with every digit a double needs to read back the same; axis
// positions (computed as first + i * step) with ten.
std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}
std::string Position(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

// A dimension's axis as the stream's header records it.
DimensionAxis AxisOf(const StreamDimension& dimension) {
  DimensionAxis axis;
  axis.first = dimension.first;
  axis.step = dimension.step;
  axis.unit = dimension.unit;
  return axis;
}

std::string DimensionTitle(const StreamHeader& header, LONG dimension) {
  const DimensionAxis axis = AxisOf(header.dimension[dimension]);
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about
  // "literal" + std::string temporaries.
  std::string title("d");
  title += std::to_string(dimension + 1);
  if (!axis.unit.empty()) title.append(" (").append(axis.unit).append(")");
  return title;
}

// x values of an item's axis ("" unit when it has none), xs of them.
std::vector<double> XValues(IVQData* item, LONG xs, std::string* unit) {
  std::vector<double> values(static_cast<size_t>(xs));
  for (LONG i = 0; i < xs; ++i) values[static_cast<size_t>(i)] = i;
  vq::ComPtr<IVQAxis> axis;
  if (SUCCEEDED(item->GetAxis(axis.put())) && axis) {
    LONG size = 0;
    axis->GetSize(&size);
    if (size >= xs && xs > 0) axis->GetValues(xs, values.data());
    BSTR text = nullptr;
    axis->GetUnit(&text);
    *unit = Utf8(text);
    SysFreeString(text);
  }
  return values;
}

struct Plane {
  const char* name;
  LONG outer, inner;   // dimensions (0-based) walked
  LONG fixedA;         // the fixed dimension other than d4
};
constexpr Plane kPlanes[] = {{"d1d2", 0, 1, 2}, {"d1d3", 0, 2, 1}, {"d2d3", 1, 2, 0}};

const Plane& FindPlane(const std::string& name) {
  for (const Plane& p : kPlanes)
    if (name == p.name) return p;
  throw ToolError("--plane must be d1d2, d1d3 or d2d3, not '" + name + "'", 2);
}

void ParseRange(const std::string& text, double* low, double* high) {
  const size_t colon = text.find(':');
  char* end = nullptr;
  if (colon != std::string::npos) {
    const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
    *low = std::strtod(a.c_str(), &end);
    const bool aOk = !a.empty() && *end == '\0';
    *high = std::strtod(b.c_str(), &end);
    if (aOk && !b.empty() && *end == '\0' && std::isfinite(*low) && std::isfinite(*high)) return;
  }
  throw ToolError("--x must be MIN:MAX or MIN MAX (for example 95:105), not '" + text + "'", 2);
}

}  // namespace

std::vector<double> ItemValues(IVQData* item, LONG* xSize, LONG* zSize) {
  VQDataBuffer b{};
  Check(item->GetDataBuffer(&b), "reading the values");
  *xSize = b.XSize;
  *zSize = b.ZSize;
  const size_t n = static_cast<size_t>(b.XSize) * static_cast<size_t>(b.ZSize);
  std::vector<double> values(n);
  switch (b.Format) {
    case dataFormatInt32:
      for (size_t i = 0; i < n; ++i) values[i] = b.pLong[i];
      break;
    case dataFormatFloat64:
      for (size_t i = 0; i < n; ++i) values[i] = b.pDouble[i];
      break;
    case dataFormatComplex128:
      for (size_t i = 0; i < n; ++i) values[i] = std::hypot(b.pComplexDouble[i].re, b.pComplexDouble[i].im);
      break;
    case dataFormatFloat32:
      for (size_t i = 0; i < n; ++i) values[i] = b.pFloat[i];
      break;
    case dataFormatComplex64:
      for (size_t i = 0; i < n; ++i) values[i] = std::hypot(b.pComplexFloat[i].re, b.pComplexFloat[i].im);
      break;
    default:  // int16 and int64 have no typed pointer
      for (LONG z = 0; z < b.ZSize; ++z)
        for (LONG x = 0; x < b.XSize; ++x) {
          double re = 0, im = 0;
          Check(item->GetValue(x, z, &re, &im), "reading the values");
          values[static_cast<size_t>(z) * static_cast<size_t>(b.XSize) + static_cast<size_t>(x)] = re;
        }
      break;
  }
  return values;
}

namespace {

// A plane's elements are loaded and sliced a chunk at a time: at most this
// many bytes of forms (one element at least) and this many elements, so that
// the slice holds a bounded part of the plane whatever the file's size.
constexpr uint64_t kChunkBytes = 8ull << 20;
constexpr uint64_t kChunkElements = 16384;

// Where one plane's elements lie in the matrix and in the slice's result
// (position z: by row the outer position runs fastest, i + nOuter * j).
struct PlaneGeometry {
  LONG n[4];
  const Plane* plane;
  LONG fixedA, fixedD4;
  bool byRow;
  uint64_t nOuter() const { return static_cast<uint64_t>(n[plane->outer]); }
  uint64_t nInner() const { return static_cast<uint64_t>(n[plane->inner]); }
  uint64_t Count() const { return nOuter() * nInner(); }
  uint64_t Stride(LONG d) const {
    uint64_t stride = 1;
    for (LONG k = 0; k < d; ++k) stride *= static_cast<uint64_t>(n[k]);
    return stride;
  }
  // The element number of result position z.
  uint64_t Element(uint64_t z) const {
    const uint64_t i = byRow ? z % nOuter() : z / nInner(), j = byRow ? z / nOuter() : z % nInner();
    return static_cast<uint64_t>(fixedA) * Stride(plane->fixedA) + static_cast<uint64_t>(fixedD4) * Stride(3) +
           i * Stride(plane->outer) + j * Stride(plane->inner);
  }
  // The result position of element `index`, false when it is not in the plane.
  bool Position(uint64_t index, uint64_t* z) const {
    uint64_t d[4];
    for (int k = 0; k < 4; ++k) {
      d[k] = index % static_cast<uint64_t>(n[k]);
      index /= static_cast<uint64_t>(n[k]);
    }
    if (d[plane->fixedA] != static_cast<uint64_t>(fixedA) || d[3] != static_cast<uint64_t>(fixedD4)) return false;
    const uint64_t i = d[plane->outer], j = d[plane->inner];
    *z = byRow ? i + nOuter() * j : j + nInner() * i;
    return true;
  }
};

struct FormAt {
  uint64_t offset = 0, bytes = 0;
};

// Runs the library's slice over the plane a chunk at a time: the chunk's
// elements, in result order, go into a small single-object matrix behind
// the file's element 0 (every slice takes its axis, shape and format from
// element 0), whose d1-d2 plane is sliced by row, so that result position
// 1 + t is the chunk's element t. consume(z0, k, result) gets each chunk's
// result item.
template <class Consume>
void SliceByChunks(StreamFile& file, const PlaneGeometry& g, const std::vector<FormAt>& forms, uint64_t reference,
                   const std::string& what, const std::function<HRESULT(IVQDataMatrix*, IUnknown*)>& slice,
                   Consume&& consume) {
  Progress bar(true, "slicing", g.Count());
  for (uint64_t z0 = 0; z0 < g.Count();) {
    uint64_t k = 0, bytes = 0;
    while (z0 + k < g.Count() && k < kChunkElements && (k == 0 || bytes + forms[z0 + k].bytes <= kChunkBytes))
      bytes += forms[z0 + k++].bytes;
    vq::ComPtr<IVQDataMatrix> chunk = NewMatrix();
    Check(chunk->Initialize(0, static_cast<LONG>(k + 1), 1, 1, 1), "preparing the " + what);
    Check(chunk->put_DataPtr(0, 0, 0, 0, file.Load(0, reference).get()), "preparing the " + what);
    for (uint64_t t = 0; t < k; ++t) {
      Check(chunk->put_DataPtr(static_cast<LONG>(t + 1), 0, 0, 0,
                               file.Load(g.Element(z0 + t), forms[z0 + t].offset).get()),
            "preparing the " + what);
    }
    vq::ComPtr<IVQData> result = NewItem();
    Check(slice(chunk.get(), result.get()), "the " + what + " failed");
    consume(z0, k, result.get());
    z0 += k;
    bar.Step(z0);
  }
}

}  // namespace

int RunSlice(const SliceOptions& o) {
  const Plane& plane = FindPlane(o.plane);
  if (!o.spectrum && o.range.empty()) throw ToolError("give either --x MIN:MAX or --spectrum", 2);
  if (o.by != "row" && o.by != "column") throw ToolError("--by must be row or column", 2);
  if (!o.fixed.empty() && o.fixed.size() != 2) throw ToolError("--fixed takes two positions", 2);
  double low = 0, high = 0;
  if (!o.range.empty()) ParseRange(o.range, &low, &high);
  if (high < low) throw ToolError("--x " + o.range + " is reversed: MIN must not be above MAX", 2);
  // The points a spectrum's --x keeps; a point computed as 1000.0000000000001
  // for a band centred on 1 kHz still counts as inside "100 1000".
  const double slack = 1e-9 * std::max(std::fabs(low), std::fabs(high));
  const double keepFrom = low - slack, keepTo = high + slack;
  // Picture options are checked even when no picture is asked for: a
  // --range-db 0 is a mistake either way.
  std::string format;
  {
    int width = 0, height = 0;
    if (o.picture.path.empty()) {
      CheckDrawingOptions(o.picture, &width, &height);
    } else {
      format = CheckPictureOptions(o.picture, &width, &height);
    }
  }
  const LONG fixedA = o.fixed.empty() ? 0 : o.fixed[0], fixedD4 = o.fixed.empty() ? 0 : o.fixed[1];

  Apartment apartment;
  StreamFile file(o.file);
  const StreamHeader& header = file.Header();
  PlaneGeometry g{{}, &plane, fixedA, fixedD4, o.by == "row"};
  for (int d = 0; d < 4; ++d) g.n[d] = header.dimension[d].size;
  if (fixedA < 0 || fixedA >= g.n[plane.fixedA] || fixedD4 < 0 || fixedD4 >= g.n[3]) {
    throw ToolError("--fixed " + std::to_string(fixedA) + " " + std::to_string(fixedD4) + " is outside the matrix (d" +
                        std::to_string(plane.fixedA + 1) + " has " + std::to_string(g.n[plane.fixedA]) +
                        " positions, d4 " + std::to_string(g.n[3]) + ")",
                    2);
  }

  // One scan up to the plane's last element finds element 0 and the plane's.
  std::vector<FormAt> forms(static_cast<size_t>(g.Count()));
  uint64_t reference = 0;
  {
    const uint64_t last = g.Element(g.Count() - 1);  // the highest numbered in either order
    Progress bar(true, "scanning", last + 1);
    ElementRecord record;
    while (file.Next(&record)) {
      uint64_t z = 0;
      if (record.index == 0) reference = record.formOffset;
      if (g.Position(record.index, &z)) forms[z] = {record.formOffset, record.formBytes};
      bar.Step(record.index + 1);
      if (record.index >= last) break;
    }
  }
  // Every slice takes its x axis from element 0, and so does the picture.
  LONG records = 1;
  std::string xUnit;
  std::vector<double> x;
  ItemAxis xAxis;
  {
    // The slice says E_FAIL and why in the matrix's terms; the common
    // mistakes get a line in the tool's terms (its options) first, checked
    // against element 0, the slices' reference.
    vq::ComPtr<IVQData> first = file.Load(0, reference);
    LONG xs = 0, zs = 0;
    first->GetSize(0, &xs);
    first->GetSize(1, &zs);
    records = zs;
    if (o.record < 0 || o.record >= zs)
      throw ToolError("--record " + std::to_string(o.record) + " is outside 0.." + std::to_string(zs - 1), 2);
    x = XValues(first.get(), xs, &xUnit);
    xAxis = ReadItemAxis(first.get());
    if (!o.range.empty() && !x.empty() && (high < x.front() || low > x.back())) {
      throw ToolError("--x " + o.range + " is outside the x axis (" + Position(x.front()) + ".." + Position(x.back()) +
                          (xUnit.empty() ? "" : " " + xUnit) + ")",
                      2);
    }
    if (o.spectrum && !o.range.empty() &&
        std::none_of(x.begin(), x.end(), [&](double v) { return v >= keepFrom && v <= keepTo; }))
      throw ToolError("--x " + o.range + " holds no point of the x axis", 2);
  }
  const std::string what = std::string(plane.name) + (o.spectrum ? " spectrum slice" : " slice");
  const LONG record = o.record;
  auto slice = [&](IVQDataMatrix* chunk, IUnknown* result) {
    return o.spectrum ? chunk->GetD1D2SliceSpectrum(record, 0, 0, matrixDirectionByRow, result)
                      : chunk->GetD1D2Slice(low, high, record, 0, 0, matrixDirectionByRow, result);
  };

  const LONG rowDim = g.byRow ? plane.inner : plane.outer, colDim = g.byRow ? plane.outer : plane.inner;
  const LONG rows = g.byRow ? g.n[plane.inner] : g.n[plane.outer], cols = g.byRow ? g.n[plane.outer] : g.n[plane.inner];
  const DimensionAxis rowAxis = AxisOf(header.dimension[rowDim]), colAxis = AxisOf(header.dimension[colDim]);
  const bool wantCsv = !o.csv.empty() || o.picture.path.empty();
  const bool wantPicture = !o.picture.path.empty();
  const int fixedDims[2] = {plane.fixedA, 3};
  const long fixedAt[2] = {fixedA, fixedD4};

  if (!o.spectrum) {
    // A grid: one line per row position, one column per column position.
    std::vector<double> sums(static_cast<size_t>(g.Count()));
    SliceByChunks(file, g, forms, reference, what, slice, [&](uint64_t z0, uint64_t k, IVQData* result) {
      LONG xs = 0, zs = 0;
      const std::vector<double> values = ItemValues(result, &xs, &zs);
      if (values.size() < k + 1) throw ToolError("the " + what + " gave too few values");
      std::copy(values.begin() + 1, values.begin() + static_cast<long>(k + 1), sums.begin() + static_cast<long>(z0));
    });
    if (wantCsv) {
      Output out(o.csv);
      std::fprintf(out.get(), "%s \\ %s", CsvField(DimensionTitle(header, rowDim)).c_str(),
                   CsvField(DimensionTitle(header, colDim)).c_str());
      for (LONG c = 0; c < cols; ++c) std::fprintf(out.get(), ",%s", Position(colAxis.At(c)).c_str());
      std::fputc('\n', out.get());
      for (LONG r = 0; r < rows; ++r) {
        std::fputs(Position(rowAxis.At(r)).c_str(), out.get());
        for (LONG c = 0; c < cols; ++c)
          std::fprintf(out.get(), ",%s", Number(sums[static_cast<size_t>(r) * cols + c]).c_str());
        std::fputc('\n', out.get());
      }
      out.Finish();
    }
    if (wantPicture) {
      SumSlice picture;
      picture.title = MatrixTitle(header, o.file);
      picture.fixed = FixedText(header, fixedDims, fixedAt, o.record, records);
      const std::string unit = xUnit.empty() ? "" : " " + xUnit;
      if (low == high) {
        picture.what = (xAxis.kind == axisKindBands ? "of the band at " : "at ") + Position(low) + unit;
      } else {
        picture.what = "of the sum over " + Position(low) + " to " + Position(high) + unit;
      }
      picture.rows = ReadDimension(header, rowDim);
      picture.columns = ReadDimension(header, colDim);
      picture.values = &sums;
      WriteFigure(SumFigure(picture, o.picture), o.picture.path, format);
    }
    return 0;
  }

  // Spectra: one line per element of the plane, written as its chunk comes;
  // the picture keeps only its cells, each record joined into them at once.
  // --x keeps the points inside its range.
  const LONG xs = static_cast<LONG>(x.size());
  LONG kFirst = 0, kEnd = xs;
  if (!o.range.empty()) {
    while (kFirst < xs && x[static_cast<size_t>(kFirst)] < keepFrom) ++kFirst;
    while (kEnd > kFirst && x[static_cast<size_t>(kEnd - 1)] > keepTo) --kEnd;
  }
  SpectrumSlice picture;
  std::unique_ptr<SpectrumCells> cells;
  if (wantPicture) {
    // Records run through the column dimension first: it goes up each
    // panel, the row dimension makes the panels.
    picture.title = MatrixTitle(header, o.file);
    picture.fixed = FixedText(header, fixedDims, fixedAt, o.record, records);
    picture.x = xAxis;
    picture.fast = ReadDimension(header, colDim);
    picture.slow = ReadDimension(header, rowDim);
    if (!o.range.empty()) picture.xFrom = keepFrom, picture.xTo = keepTo;
    cells = std::make_unique<SpectrumCells>(picture, o.picture);
  }
  std::unique_ptr<Output> out;
  if (wantCsv) {
    out = std::make_unique<Output>(o.csv);
    std::fprintf(out->get(), "%s,%s", CsvField(DimensionTitle(header, rowDim)).c_str(),
                 CsvField(DimensionTitle(header, colDim)).c_str());
    for (LONG k = kFirst; k < kEnd; ++k) std::fprintf(out->get(), ",%s", Position(x[static_cast<size_t>(k)]).c_str());
    std::fputc('\n', out->get());
  }
  SliceByChunks(file, g, forms, reference, what, slice, [&](uint64_t z0, uint64_t k, IVQData* result) {
    LONG resultXs = 0, zs = 0;
    const std::vector<double> values = ItemValues(result, &resultXs, &zs);
    if (static_cast<uint64_t>(zs) < k + 1) throw ToolError("the " + what + " gave too few records");
    if (resultXs != xs) throw ToolError("the " + what + " gave spectra of another length than element 0's");
    for (uint64_t t = 0; t < k; ++t) {
      const double* spectrum = values.data() + static_cast<size_t>(t + 1) * static_cast<size_t>(xs);
      const uint64_t z = z0 + t;
      if (out) {
        std::fprintf(out->get(), "%s,%s", Position(rowAxis.At(static_cast<LONG>(z / cols))).c_str(),
                     Position(colAxis.At(static_cast<LONG>(z % cols))).c_str());
        for (LONG v = kFirst; v < kEnd; ++v) std::fprintf(out->get(), ",%s", Number(spectrum[v]).c_str());
        std::fputc('\n', out->get());
      }
      if (cells) cells->Add(static_cast<size_t>(z), spectrum);
    }
  });
  if (out) out->Finish();
  if (cells) WriteFigure(SpectrumFigure(picture, *cells, o.picture), o.picture.path, format);
  return 0;
}

int RunExport(const ExportOptions& o) {
  if (o.all == !o.at.empty()) throw ToolError("give either --at D1 D2 D3 D4 or --all", 2);
  if (!o.at.empty() && o.at.size() != 4) throw ToolError("--at takes four positions", 2);
  Apartment apartment;
  StreamFile file(o.file);
  const StreamHeader& header = file.Header();
  Output out(o.csv);
  ElementRecord element;
  if (!o.all) {
    uint64_t wanted = 0;
    for (int d = 3; d >= 0; --d) {
      const LONG size = header.dimension[d].size;
      if (o.at[d] < 0 || o.at[d] >= size)
        throw ToolError("--at: d" + std::to_string(d + 1) + " position " + std::to_string(o.at[d]) + " is outside 0.." +
                            std::to_string(size - 1),
                        2);
      wanted = wanted * static_cast<uint64_t>(size) + static_cast<uint64_t>(o.at[d]);
    }
    {
      Progress bar(true, "seeking", wanted + 1);
      while (file.Next(&element) && element.index < wanted) bar.Step(element.index + 1);
    }
    vq::ComPtr<IVQData> item = file.Load(element.index, element.formOffset);
    LONG xs = 0, zs = 0;
    const std::vector<double> values = ItemValues(item.get(), &xs, &zs);
    if (o.record >= zs)
      throw ToolError("--record " + std::to_string(o.record) + " is outside 0.." + std::to_string(zs - 1), 2);
    std::string unit;
    const std::vector<double> x = XValues(item.get(), xs, &unit);
    const LONG first = o.record < 0 ? 0 : o.record, last = o.record < 0 ? zs - 1 : o.record;
    std::fprintf(out.get(), "%s", CsvField(unit.empty() ? "x" : "x (" + unit + ")").c_str());
    for (LONG z = first; z <= last; ++z) std::fprintf(out.get(), ",record %d", z);
    std::fputc('\n', out.get());
    for (LONG k = 0; k < xs; ++k) {
      std::fputs(Position(x[static_cast<size_t>(k)]).c_str(), out.get());
      for (LONG z = first; z <= last; ++z)
        std::fprintf(out.get(), ",%s", Number(values[static_cast<size_t>(z) * xs + k]).c_str());
      std::fputc('\n', out.get());
    }
  } else {
    // Element by element in storage order, each loaded, written and let go.
    const LONG record = o.record < 0 ? 0 : o.record;
    Progress bar(true, "exporting", file.Elements());
    while (file.Next(&element)) {
      vq::ComPtr<IVQData> item = file.Load(element.index, element.formOffset);
      LONG xs = 0, zs = 0;
      const std::vector<double> values = ItemValues(item.get(), &xs, &zs);
      if (record >= zs) throw ToolError("--record " + std::to_string(record) + " is outside an element's records", 2);
      if (element.index == 0) {
        std::string unit;
        const std::vector<double> x = XValues(item.get(), xs, &unit);
        std::fprintf(out.get(), "d1,d2,d3,d4,id,label");
        for (double v : x) std::fprintf(out.get(), ",%s", Position(v).c_str());
        std::fputc('\n', out.get());
      }
      uint64_t rest = element.index;
      for (int d = 0; d < 4; ++d) {
        const auto size = static_cast<uint64_t>(header.dimension[d].size);
        std::fprintf(out.get(), "%llu,", static_cast<unsigned long long>(rest % size));
        rest /= size;
      }
      std::fprintf(out.get(), "%d,%s", element.id, CsvField(element.label).c_str());
      for (LONG k = 0; k < xs; ++k)
        std::fprintf(out.get(), ",%s", Number(values[static_cast<size_t>(record) * xs + k]).c_str());
      std::fputc('\n', out.get());
      bar.Step(element.index + 1);
    }
  }
  out.Finish();
  return 0;
}

}  // namespace vqdm
