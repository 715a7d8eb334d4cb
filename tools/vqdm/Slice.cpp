// vqdm slice and vqdm export: values of a matrix stream file as CSV and as a
// colour map picture.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/SlicePicture.h"

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

std::string DimensionTitle(IVQDataMatrix* matrix, LONG dimension) {
  const DimensionAxis axis = MatrixAxis(matrix, dimension);
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

int RunSlice(const SliceOptions& o) {
  const Plane& plane = FindPlane(o.plane);
  if (!o.spectrum && o.range.empty()) throw ToolError("give either --x MIN:MAX or --spectrum", 2);
  if (o.by != "row" && o.by != "column") throw ToolError("--by must be row or column", 2);
  if (!o.fixed.empty() && o.fixed.size() != 2) throw ToolError("--fixed takes two positions", 2);
  double low = 0, high = 0;
  if (!o.range.empty()) ParseRange(o.range, &low, &high);
  // The points a spectrum's --x keeps; a point computed as 1000.0000000000001
  // for a band centred on 1 kHz still counts as inside "100 1000".
  const double slack = 1e-9 * std::max(std::fabs(low), std::fabs(high));
  const double keepFrom = low - slack, keepTo = high + slack;
  {
    // Picture options are checked even when no picture is asked for: a
    // --range-db 0 is a mistake either way.
    int width = 0, height = 0;
    if (o.picture.path.empty()) {
      CheckDrawingOptions(o.picture, &width, &height);
    } else {
      CheckPictureOptions(o.picture, &width, &height);
    }
  }
  const LONG fixedA = o.fixed.empty() ? 0 : o.fixed[0], fixedD4 = o.fixed.empty() ? 0 : o.fixed[1];

  Apartment apartment;
  vq::ComPtr<IVQDataMatrix> matrix = ReadMatrixFile(o.file);
  const Sizes sizes = MatrixSizes(matrix.get());
  if (fixedA < 0 || fixedA >= sizes.n[plane.fixedA] || fixedD4 < 0 || fixedD4 >= sizes.n[3]) {
    throw ToolError("--fixed " + std::to_string(fixedA) + " " + std::to_string(fixedD4) + " is outside the matrix (d" +
                        std::to_string(plane.fixedA + 1) + " has " + std::to_string(sizes.n[plane.fixedA]) +
                        " positions, d4 " + std::to_string(sizes.n[3]) + ")",
                    2);
  }
  LONG records = 1;
  std::string xUnit;
  bool bands = false;
  {
    // The slice says E_FAIL and why in the matrix's terms; the common
    // mistakes get a line in the tool's terms (its options) first, checked
    // against the first element.
    vq::ComPtr<IUnknown> first;
    vq::ComPtr<IVQData> reference;
    if (SUCCEEDED(matrix->get_FirstValidDataPtr(nullptr, nullptr, nullptr, nullptr, first.put())) && first)
      reference = first.query<IVQData>();
    if (reference) {
      LONG xs = 0, zs = 0;
      reference->GetSize(0, &xs);
      reference->GetSize(1, &zs);
      records = zs;
      if (o.record < 0 || o.record >= zs)
        throw ToolError("--record " + std::to_string(o.record) + " is outside 0.." + std::to_string(zs - 1), 2);
      std::string& unit = xUnit;
      const std::vector<double> x = XValues(reference.get(), xs, &unit);
      bands = ReadItemAxis(reference.get()).kind == axisKindBands;
      if (!o.range.empty() && !x.empty() && (high < x.front() || low > x.back() || high < low)) {
        throw ToolError("--x " + o.range + " is outside the x axis (" + Position(x.front()) + ".." +
                            Position(x.back()) + (unit.empty() ? "" : " " + unit) + ")",
                        2);
      }
      if (o.spectrum && !o.range.empty() &&
          std::none_of(x.begin(), x.end(), [&](double v) { return v >= keepFrom && v <= keepTo; }))
        throw ToolError("--x " + o.range + " holds no point of the x axis", 2);
    }
  }
  const matrixDirectionType dir = o.by == "row" ? matrixDirectionByRow : matrixDirectionByColumn;
  vq::ComPtr<IVQData> result = NewItem();
  IUnknown* target = result.get();
  HRESULT hr = E_FAIL;
  if (o.spectrum) {
    switch (plane.fixedA) {
      case 2: hr = matrix->GetD1D2SliceSpectrum(o.record, fixedA, fixedD4, dir, target); break;
      case 1: hr = matrix->GetD1D3SliceSpectrum(o.record, fixedA, fixedD4, dir, target); break;
      default: hr = matrix->GetD2D3SliceSpectrum(o.record, fixedA, fixedD4, dir, target); break;
    }
  } else {
    switch (plane.fixedA) {
      case 2: hr = matrix->GetD1D2Slice(low, high, o.record, fixedA, fixedD4, dir, target); break;
      case 1: hr = matrix->GetD1D3Slice(low, high, o.record, fixedA, fixedD4, dir, target); break;
      default: hr = matrix->GetD2D3Slice(low, high, o.record, fixedA, fixedD4, dir, target); break;
    }
  }
  Check(hr, std::string("the ") + plane.name + (o.spectrum ? " spectrum slice" : " slice") + " failed");

  LONG xs = 0, zs = 0;
  const std::vector<double> values = ItemValues(result.get(), &xs, &zs);
  const LONG nOuter = sizes.n[plane.outer], nInner = sizes.n[plane.inner];
  // By row the outer position runs fastest: position i + nOuter * j.
  const bool byRow = dir == matrixDirectionByRow;
  const LONG rowDim = byRow ? plane.inner : plane.outer, colDim = byRow ? plane.outer : plane.inner;
  const LONG rows = byRow ? nInner : nOuter, cols = byRow ? nOuter : nInner;
  const DimensionAxis rowAxis = MatrixAxis(matrix.get(), rowDim), colAxis = MatrixAxis(matrix.get(), colDim);

  const bool wantCsv = !o.csv.empty() || o.picture.path.empty();
  if (wantCsv) {
    Output out(o.csv);
    if (!o.spectrum) {
      // A grid: one line per row position, one column per column position.
      std::fprintf(out.get(), "%s \\ %s", CsvField(DimensionTitle(matrix.get(), rowDim)).c_str(),
                   CsvField(DimensionTitle(matrix.get(), colDim)).c_str());
      for (LONG c = 0; c < cols; ++c) std::fprintf(out.get(), ",%s", Position(colAxis.At(c)).c_str());
      std::fputc('\n', out.get());
      for (LONG r = 0; r < rows; ++r) {
        std::fputs(Position(rowAxis.At(r)).c_str(), out.get());
        for (LONG c = 0; c < cols; ++c)
          std::fprintf(out.get(), ",%s", Number(values[static_cast<size_t>(r) * cols + c]).c_str());
        std::fputc('\n', out.get());
      }
    } else {
      // One line per record (element of the plane): its two positions, then the values.
      std::string unit;
      const std::vector<double> x = XValues(result.get(), xs, &unit);
      // --x keeps the points inside its range.
      LONG kFirst = 0, kEnd = xs;
      if (!o.range.empty()) {
        while (kFirst < xs && x[static_cast<size_t>(kFirst)] < keepFrom) ++kFirst;
        while (kEnd > kFirst && x[static_cast<size_t>(kEnd - 1)] > keepTo) --kEnd;
      }
      std::fprintf(out.get(), "%s,%s", CsvField(DimensionTitle(matrix.get(), rowDim)).c_str(),
                   CsvField(DimensionTitle(matrix.get(), colDim)).c_str());
      for (LONG k = kFirst; k < kEnd; ++k) std::fprintf(out.get(), ",%s", Position(x[static_cast<size_t>(k)]).c_str());
      std::fputc('\n', out.get());
      for (LONG z = 0; z < zs; ++z) {
        std::fprintf(out.get(), "%s,%s", Position(rowAxis.At(z / cols)).c_str(),
                     Position(colAxis.At(z % cols)).c_str());
        for (LONG k = kFirst; k < kEnd; ++k)
          std::fprintf(out.get(), ",%s", Number(values[static_cast<size_t>(z) * xs + k]).c_str());
        std::fputc('\n', out.get());
      }
    }
    out.Finish();
  }
  if (!o.picture.path.empty()) {
    int width = 0, height = 0;
    const std::string format = CheckPictureOptions(o.picture, &width, &height);
    const int fixedDims[2] = {plane.fixedA, 3};
    const long fixedAt[2] = {fixedA, fixedD4};
    const std::string title = MatrixTitle(matrix.get(), o.file);
    const std::string fixed = FixedText(matrix.get(), fixedDims, fixedAt, o.record, records);
    Figure figure;
    if (o.spectrum) {
      // Records run through the column dimension first: it goes up each
      // panel, the row dimension makes the panels.
      SpectrumSlice slice;
      slice.title = title;
      slice.fixed = fixed;
      slice.x = ReadItemAxis(result.get());
      slice.fast = ReadDimension(matrix.get(), colDim);
      slice.slow = ReadDimension(matrix.get(), rowDim);
      slice.values = &values;
      if (!o.range.empty()) slice.xFrom = keepFrom, slice.xTo = keepTo;
      figure = SpectrumFigure(slice, o.picture);
    } else {
      SumSlice slice;
      slice.title = title;
      slice.fixed = fixed;
      const std::string unit = xUnit.empty() ? "" : " " + xUnit;
      if (low == high) {
        slice.what = (bands ? "of the band at " : "at ") + Position(low) + unit;
      } else {
        slice.what = "of the sum over " + Position(low) + " to " + Position(high) + unit;
      }
      slice.rows = ReadDimension(matrix.get(), rowDim);
      slice.columns = ReadDimension(matrix.get(), colDim);
      slice.values = &values;
      figure = SumFigure(slice, o.picture);
    }
    WriteFigure(figure, o.picture.path, format);
  }
  return 0;
}

int RunExport(const ExportOptions& o) {
  if (o.all == !o.at.empty()) throw ToolError("give either --at D1 D2 D3 D4 or --all", 2);
  if (!o.at.empty() && o.at.size() != 4) throw ToolError("--at takes four positions", 2);
  Apartment apartment;
  vq::ComPtr<IVQDataMatrix> matrix = ReadMatrixFile(o.file);
  const Sizes sizes = MatrixSizes(matrix.get());
  auto element = [&](LONG d1, LONG d2, LONG d3, LONG d4) {
    vq::ComPtr<IUnknown> unknown;
    Check(matrix->get_ConstDataPtr(d1, d2, d3, d4, 0, unknown.put()), "reading element (" + std::to_string(d1) + ", " +
                                                                          std::to_string(d2) + ", " +
                                                                          std::to_string(d3) + ", " +
                                                                          std::to_string(d4) + ")");
    vq::ComPtr<IVQData> item = unknown.query<IVQData>();
    if (!item) throw ToolError("element is not a data item");
    return item;
  };

  Output out(o.csv);
  if (!o.all) {
    for (int d = 0; d < 4; ++d) {
      if (o.at[d] < 0 || o.at[d] >= sizes.n[d])
        throw ToolError("--at: d" + std::to_string(d + 1) + " position " + std::to_string(o.at[d]) +
                            " is outside 0.." + std::to_string(sizes.n[d] - 1),
                        2);
    }
    vq::ComPtr<IVQData> item = element(o.at[0], o.at[1], o.at[2], o.at[3]);
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
    const LONG record = o.record < 0 ? 0 : o.record;
    bool headed = false;
    for (LONG d4 = 0; d4 < sizes.n[3]; ++d4)
      for (LONG d3 = 0; d3 < sizes.n[2]; ++d3)
        for (LONG d2 = 0; d2 < sizes.n[1]; ++d2)
          for (LONG d1 = 0; d1 < sizes.n[0]; ++d1) {
            vq::ComPtr<IVQData> item = element(d1, d2, d3, d4);
            LONG xs = 0, zs = 0;
            const std::vector<double> values = ItemValues(item.get(), &xs, &zs);
            if (record >= zs)
              throw ToolError("--record " + std::to_string(record) + " is outside an element's records", 2);
            if (!headed) {
              std::string unit;
              const std::vector<double> x = XValues(item.get(), xs, &unit);
              std::fprintf(out.get(), "d1,d2,d3,d4,id,label");
              for (double v : x) std::fprintf(out.get(), ",%s", Position(v).c_str());
              std::fputc('\n', out.get());
              headed = true;
            }
            LONG id = -1;
            matrix->get_ID(d1, d2, d3, d4, &id);
            BSTR label = nullptr;
            matrix->get_Label(d1, d2, d3, d4, &label);
            std::fprintf(out.get(), "%d,%d,%d,%d,%d,%s", d1, d2, d3, d4, id, CsvField(Utf8(label)).c_str());
            SysFreeString(label);
            for (LONG k = 0; k < xs; ++k)
              std::fprintf(out.get(), ",%s", Number(values[static_cast<size_t>(record) * xs + k]).c_str());
            std::fputc('\n', out.get());
          }
  }
  out.Finish();
  return 0;
}

}  // namespace vqdm
