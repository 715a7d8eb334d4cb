// The figure model of a slice: what each picture shows, where its ticks go
// and how many values share a pixel. No drawing here (PictureDraw.cpp).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "tools/vqdm/Common.h"
#include "tools/vqdm/Picture.h"

namespace vqdm {
namespace {

constexpr size_t kMostPanels = 8;  // more would leave each too thin to read
constexpr int kPixelsPerXTick = 90, kPixelsPerYTick = 40, kPixelsPerBarTick = 70;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// value with `digits` significant digits, as short as they allow ("%g").
std::string Significant(double value, int digits = 6) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

// A name for what a dimension counts, from its unit: a physical unit gets
// the quantity's name, a word ("channel") is the name itself.
void NameAndUnit(const WalkedDimension& d, std::string* name, std::string* unit) {
  static const struct {
    const char* unit;
    const char* name;
  } kQuantities[] = {{"rpm", "Speed"},
                     {"1/min", "Speed"},
                     {"r/min", "Speed"},
                     {"s", "Time"},
                     {"ms", "Time"},
                     {"min", "Time"},
                     {"h", "Time"},
                     {"Hz", "Frequency"},
                     {"kHz", "Frequency"},
                     {"deg", "Angle"},
                     {"\xC2\xB0", "Angle"},
                     {"\xC2\xB0"
                      "C",
                      "Temperature"},
                     {"km/h", "Velocity"}};
  for (const auto& q : kQuantities) {
    if (d.unit == q.unit) {
      *name = q.name;
      *unit = d.unit;
      return;
    }
  }
  const bool word = d.unit.size() >= 3 && std::all_of(d.unit.begin(), d.unit.end(), [](char c) {
                      return std::isalpha(static_cast<unsigned char>(c)) || c == ' ';
                    });
  if (word) {
    *name = d.unit;
    (*name)[0] = static_cast<char>(std::toupper(static_cast<unsigned char>((*name)[0])));
    unit->clear();
  } else {
    // Printed, not "d" + std::to_string(...): g++ 12 at -O3 warns falsely
    // (-Wrestrict) about the string operations inlined here.
    char text[16];
    std::snprintf(text, sizeof text, "d%d", d.index + 1);
    *name = text;
    *unit = d.unit;
  }
}

std::string WithUnit(const std::string& label, const std::string& unit) {
  return unit.empty() ? label : label + " (" + unit + ")";
}

std::string XLabel(const ItemAxis& x) {
  if (x.kind == 2) {
    const std::string bands = x.fraction == 1 ? "octave bands" : "1/" + std::to_string(x.fraction) + "-octave bands";
    return "Frequency (" + (x.unit.empty() ? std::string("Hz") : x.unit) + "), " + bands;
  }
  if (x.unit == "Hz" || x.unit == "kHz") return "Frequency (" + x.unit + ")";
  if (x.unit == "s" || x.unit == "ms") return "Time (" + x.unit + ")";
  return WithUnit("x", x.unit);
}

// The fractional point index of value v on increasing axis values (linear
// between points; in logarithms for a logarithmic axis).
double PointOf(const std::vector<double>& values, double v, bool logarithmic) {
  auto f = [&](double a) { return logarithmic ? std::log(a) : a; };
  const size_t n = values.size();
  if (n < 2) return 0.0;
  size_t k = static_cast<size_t>(std::upper_bound(values.begin(), values.end(), v) - values.begin());
  k = std::clamp<size_t>(k, 1, n - 1);
  const double a = f(values[k - 1]), b = f(values[k]);
  return static_cast<double>(k - 1) + (b > a ? (f(v) - a) / (b - a) : 0.0);
}

// Ticks of a dimension drawn as cells: position i spans i .. i + 1.
std::vector<Tick> DimensionTicks(const WalkedDimension& d, int maxTicks) {
  const double last = d.first + d.step * static_cast<double>(d.size - 1);
  std::vector<Tick> ticks;
  if (d.step == 0.0 || d.size < 2) {
    ticks.push_back({0.5, TickText(d.first, 1.0)});
    return ticks;
  }
  // No more ticks than positions: channels 1 to 4 are not numbered 1.2, 1.4, ...
  const int most = static_cast<int>(std::min<long>(maxTicks, d.size));
  const std::vector<double> values = RoundTicks(std::min(d.first, last), std::max(d.first, last), most);
  const double step = values.size() > 1 ? values[1] - values[0] : 1.0;
  for (double v : values) ticks.push_back({(v - d.first) / d.step + 0.5, TickText(v, step)});
  return ticks;
}

int TicksFor(double pixels, int perTick) { return std::max(2, static_cast<int>(pixels / perTick)); }

// Levels: values as powers (squared amplitudes for 20·log10), joined in a
// pixel, then in dB of the reference's power.
struct Levels {
  bool linear;
  int factor;
  double referencePower;
  explicit Levels(const PictureOptions& o)
      : linear(o.linear),
        factor(o.dbFactor),
        referencePower(o.dbFactor == 20 ? o.reference * o.reference : o.reference) {}
  double Power(double v) const { return linear ? v : (factor == 20 ? v * v : std::fabs(v)); }
  double Level(double p) const {
    if (linear || std::isnan(p)) return p;
    return p > 0.0 ? 10.0 * std::log10(p / referencePower) : -std::numeric_limits<double>::infinity();
  }
};

std::string LevelLabel(const PictureOptions& o) {
  if (o.linear) return o.unit.empty() ? "Value" : "Value (" + o.unit + ")";
  std::string label = "dB re " + Significant(o.reference);
  if (!o.unit.empty()) label += " " + o.unit;
  return label;
}

// The range shown: `rangeDb` below the highest level, the top rounded up
// to a whole dB; linear values from the smallest to the largest.
void ShownRange(const std::vector<double>& levels, const PictureOptions& o, double* low, double* high) {
  double lo = INFINITY, hi = -INFINITY;
  for (double v : levels) {
    if (!std::isfinite(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  if (!std::isfinite(hi)) lo = 0.0, hi = 1.0;
  if (o.linear) {
    if (hi <= lo) hi = lo + 1.0;
  } else {
    hi = std::ceil(hi);
    lo = hi - o.rangeDb;
  }
  *low = lo;
  *high = hi;
}

std::vector<Tick> ValueTicks(double low, double high, int maxTicks) {
  const std::vector<double> values = RoundTicks(low, high, maxTicks);
  const double step = values.size() > 1 ? values[1] - values[0] : 1.0;
  std::vector<Tick> ticks;
  for (double v : values) ticks.push_back({v, TickText(v, step)});
  return ticks;
}

std::string PanelsNote(const WalkedDimension& d, size_t shown) {
  if (static_cast<size_t>(d.size) <= shown) return "";
  std::string name, unit;
  NameAndUnit(d, &name, &unit);
  return "; " + Lower(name) + " positions 1.." + std::to_string(shown) + " of " + std::to_string(d.size);
}

}  // namespace

void CheckDrawingOptions(const PictureOptions& o, int* width, int* height) {
  auto refuse = [](const std::string& what) { return ToolError(what, 2); };
  if (!(o.rangeDb > 0.0) || !std::isfinite(o.rangeDb))
    throw refuse("--range-db must be a number of dB above 0, not " + Significant(o.rangeDb));
  if (o.dbFactor != 20 && o.dbFactor != 10)
    throw refuse("--db must be 20 (amplitudes) or 10 (powers), not " + std::to_string(o.dbFactor));
  if (!(o.reference > 0.0) || !std::isfinite(o.reference))
    throw refuse("--reference must be above 0, not " + Significant(o.reference));
  if (o.style != "" && o.style != "map" && o.style != "waterfall" && o.style != "lines")
    throw refuse("--style must be map, waterfall or lines, not '" + o.style + "'");
  if (o.bin != "max" && o.bin != "mean") throw refuse("--bin must be max or mean, not '" + o.bin + "'");
  int w = 0, h = 0;
  char end = 0;
  if (std::sscanf(o.size.c_str(), "%dx%d%c", &w, &h, &end) != 2 || w < 300 || h < 200 || w > 8000 || h > 8000)
    throw refuse("--size must be WIDTHxHEIGHT in pixels (300x200 to 8000x8000), not '" + o.size + "'");
  *width = w;
  *height = h;
}

namespace {

void StartFigure(Figure* f, const PictureOptions& o, const std::string& title) {
  int width = 0, height = 0;
  CheckDrawingOptions(o, &width, &height);
  f->width = width;
  f->height = height;
  f->title = title;
}

}  // namespace

std::string CheckPictureOptions(const PictureOptions& o, int* width, int* height) {
  CheckDrawingOptions(o, width, height);
  std::string format = o.format;
  if (format.empty()) {
    const size_t dot = o.path.rfind('.');
    format = dot == std::string::npos ? "" : Lower(o.path.substr(dot + 1));
  }
  if (format != "png" && format != "svg" && format != "pdf")
    throw ToolError("cannot tell the picture format of '" + o.path + "': name it .png, .svg or .pdf, or give --format",
                    2);
  return format;
}

Frame PlotFrame(const Figure& f) {
  const double right = f.hasBar ? 130.0 : f.legend ? 170.0 : !f.levelScale.empty() ? 90.0 : 30.0;
  Frame frame{};
  frame.left = 96.0;
  frame.top = f.subtitle.empty() ? 48.0 : 70.0;
  frame.width = std::max(50.0, f.width - frame.left - right);
  frame.height = std::max(50.0, f.height - frame.top - 62.0);
  const double n = static_cast<double>(std::max<size_t>(1, f.panels.size()));
  frame.gap = 10.0;
  frame.panelHeight = std::max(10.0, (frame.height - frame.gap * (n - 1)) / n);
  return frame;
}

std::vector<double> RoundTicks(double low, double high, int maxTicks) {
  std::vector<double> ticks;
  if (!std::isfinite(low) || !std::isfinite(high)) return ticks;
  if (!(high > low)) return {low};
  maxTicks = std::max(2, maxTicks);
  const double span = high - low;
  for (int exponent = static_cast<int>(std::floor(std::log10(span / maxTicks))) - 1;; ++exponent) {
    for (double m : {1.0, 2.0, 5.0}) {
      const double step = m * std::pow(10.0, exponent);
      const double first = std::ceil(low / step - 1e-9), last = std::floor(high / step + 1e-9);
      if (last - first + 1 > maxTicks) continue;
      for (double i = first; i <= last; ++i) ticks.push_back(std::fabs(i) < 0.5 ? 0.0 : i * step);
      return ticks;
    }
  }
}

std::string TickText(double value, double step) {
  const int decimals = step > 0.0 ? std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9))) : 0;
  if (std::fabs(value) < step * 1e-9) value = 0.0;
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", std::min(decimals, 12), value);
  return text;
}

std::string BandCentreText(long band, long fraction) {
  static const double kTenths[] = {1.0, 1.25, 1.6, 2.0, 2.5, 3.15, 4.0, 5.0, 6.3, 8.0};
  double centre = 0.0;
  if (fraction > 0 && (3 * band) % fraction == 0) {
    // Tenths of a decade: the preferred numbers engineers read on band charts.
    const long tenths = 3 * band / fraction;
    const long decade = tenths >= 0 ? tenths / 10 : -((-tenths + 9) / 10);
    centre = kTenths[tenths - decade * 10] * std::pow(10.0, static_cast<double>(decade));
  } else {
    centre = std::pow(10.0, 0.3 * static_cast<double>(band) / static_cast<double>(fraction > 0 ? fraction : 1));
    centre = std::stod(Significant(centre, 3));
  }
  return centre >= 1000.0 ? Significant(centre / 1000.0) + "k" : Significant(centre);
}

std::vector<Tick> AxisTicks(const ItemAxis& axis, size_t first, size_t last, int maxTicks) {
  std::vector<Tick> ticks;
  if (last < first || last >= axis.values.size()) return ticks;
  maxTicks = std::max(2, maxTicks);
  if (axis.kind == 2) {
    // Every band, or whole octaves (the 1 kHz band among them), as room allows.
    const long f = std::max(1L, axis.fraction);
    auto ticksEvery = [&](long every) {
      long n = 0;
      for (size_t i = first; i <= last; ++i) n += (axis.firstBand + static_cast<long>(i)) % every == 0;
      return n;
    };
    long every = 1;
    for (long m = 1; ticksEvery(every) > maxTicks; ++m) every = f * m;
    for (size_t i = first; i <= last; ++i) {
      const long band = axis.firstBand + static_cast<long>(i);
      if (band % every == 0) ticks.push_back({static_cast<double>(i - first) + 0.5, BandCentreText(band, f)});
    }
    return ticks;
  }
  const double lo = axis.values[first], hi = axis.values[last];
  const bool logarithmic = axis.kind == 1 && lo > 0.0;
  std::vector<double> values;
  double step = 0.0;
  if (logarithmic) {
    // 1, 2 and 5 of every decade, or the decades alone when that is too many.
    static const std::vector<double> kMantissas[] = {{1.0, 2.0, 5.0}, {1.0}};
    for (const std::vector<double>& mantissas : kMantissas) {
      values.clear();
      for (double decade = std::pow(10.0, std::floor(std::log10(lo))); decade <= hi; decade *= 10.0)
        for (double m : mantissas)
          if (m * decade >= lo * (1 - 1e-9) && m * decade <= hi * (1 + 1e-9)) values.push_back(m * decade);
      if (static_cast<int>(values.size()) <= maxTicks) break;
    }
  } else {
    values = RoundTicks(lo, hi, maxTicks);
    step = values.size() > 1 ? values[1] - values[0] : 1.0;
  }
  for (double v : values) {
    const double at = PointOf(axis.values, v, logarithmic) - static_cast<double>(first) + 0.5;
    ticks.push_back({at, logarithmic ? Significant(v, v >= 1000.0 ? 10 : 6) : TickText(v, step)});
  }
  return ticks;
}

std::vector<size_t> BinEdges(size_t n, size_t bins) {
  bins = std::max<size_t>(1, std::min(n, bins));
  std::vector<size_t> edges(bins + 1);
  for (size_t g = 0; g <= bins; ++g) edges[g] = static_cast<size_t>(uint64_t(g) * uint64_t(n) / uint64_t(bins));
  return edges;
}

Grid BinGrid(const Grid& grid, size_t maxRows, size_t maxColumns, bool mean) {
  const std::vector<size_t> rowEdges = BinEdges(grid.rows, maxRows), columnEdges = BinEdges(grid.columns, maxColumns);
  Grid out;
  out.rows = rowEdges.size() - 1;
  out.columns = columnEdges.size() - 1;
  out.cells.assign(out.rows * out.columns, NAN);
  if (grid.rows == 0 || grid.columns == 0) return out;
  for (size_t r = 0; r < out.rows; ++r) {
    for (size_t c = 0; c < out.columns; ++c) {
      double joined = NAN, sum = 0.0;
      size_t count = 0;
      for (size_t i = rowEdges[r]; i < rowEdges[r + 1]; ++i) {
        for (size_t j = columnEdges[c]; j < columnEdges[c + 1]; ++j) {
          const double v = grid.cells[i * grid.columns + j];
          if (std::isnan(v)) continue;
          sum += v;
          ++count;
          if (std::isnan(joined) || v > joined) joined = v;
        }
      }
      out.cells[r * out.columns + c] = mean && count > 0 ? sum / static_cast<double>(count) : joined;
    }
  }
  return out;
}

std::string DimensionLabel(const WalkedDimension& d) {
  std::string name, unit;
  NameAndUnit(d, &name, &unit);
  return WithUnit(name, unit);
}

std::string DimensionValueText(const WalkedDimension& d, long position) {
  std::string name, unit;
  NameAndUnit(d, &name, &unit);
  const std::string value = Significant(d.first + d.step * static_cast<double>(position), 10);
  if (!unit.empty()) return value + " " + unit;
  if (name[0] == 'd' && name.size() <= 2) return name + " = " + value;
  return Lower(name) + " " + value;
}

namespace {

// The frame a spectrum figure's plot areas get: the same before the cells
// are joined as when the figure is laid out.
Frame SpectrumFrame(const PictureOptions& o, const std::string& style, size_t panels) {
  Figure f;
  StartFigure(&f, o, "");
  f.subtitle = "-";
  f.hasBar = style == "map";
  if (style == "waterfall") f.levelScale = "-";
  f.panels.resize(panels);
  return PlotFrame(f);
}

}  // namespace

SpectrumCells::SpectrumCells(const SpectrumSlice& s, const PictureOptions& o)
    : style(o.style.empty() ? "map" : o.style), fast(s.fast), slow(s.slow), m_Options(o) {
  if (style == "lines")
    throw ToolError("--style lines draws sums (--x without --spectrum): draw spectra as map or waterfall", 2);
  const size_t xs = s.x.values.size();
  if (xs == 0 || fast.size < 1 || slow.size < 1) throw ToolError("nothing to draw");
  if (s.values != nullptr) {
    if (s.values->size() % xs != 0 || s.values->empty()) throw ToolError("nothing to draw");
    const size_t zs = s.values->size() / xs;
    if (static_cast<size_t>(fast.size) * static_cast<size_t>(slow.size) != zs)
      fast.size = static_cast<long>(zs), slow.size = 1;
  }
  // The x points shown: all, or those inside the zoom.
  first = 0, last = xs - 1;
  if (!std::isnan(s.xFrom)) {
    while (first < xs && s.x.values[first] < s.xFrom) ++first;
    while (last > first && s.x.values[last] > s.xTo) --last;
    if (first >= xs || s.x.values[last] > s.xTo || s.x.values[last] < s.xFrom)
      throw ToolError("--x " + Significant(s.xFrom) + ":" + Significant(s.xTo) + " holds no point of the x axis", 2);
  }
  panels = std::min<size_t>(static_cast<size_t>(slow.size), kMostPanels);
  const Frame frame = SpectrumFrame(o, style, panels);
  const size_t height = static_cast<size_t>(frame.panelHeight), width = static_cast<size_t>(frame.width);
  const size_t lines = std::max<size_t>(2, height / 12);
  rowEdges = BinEdges(static_cast<size_t>(fast.size), style == "map" ? height : lines);
  columnEdges = BinEdges(last - first + 1, width);
  m_ColumnOf.resize(last - first + 1);
  for (size_t c = 0; c + 1 < columnEdges.size(); ++c)
    std::fill(m_ColumnOf.begin() + static_cast<long>(columnEdges[c]),
              m_ColumnOf.begin() + static_cast<long>(columnEdges[c + 1]), c);
  const size_t cells = panels * (rowEdges.size() - 1) * (columnEdges.size() - 1);
  m_Joined.assign(cells, NAN);
  m_Count.assign(cells, 0);
}

void SpectrumCells::Add(size_t z, const double* values) {
  const size_t fastSize = static_cast<size_t>(fast.size), panel = z / fastSize;
  if (panel >= panels) return;
  const size_t row =
      static_cast<size_t>(std::upper_bound(rowEdges.begin(), rowEdges.end(), z % fastSize) - rowEdges.begin()) - 1;
  const size_t columns = columnEdges.size() - 1;
  const Levels levels(m_Options);
  const bool mean = m_Options.bin == "mean";
  double* joined = m_Joined.data() + (panel * (rowEdges.size() - 1) + row) * columns;
  uint32_t* count = m_Count.data() + (panel * (rowEdges.size() - 1) + row) * columns;
  for (size_t k = first; k <= last; ++k) {
    const double p = levels.Power(values[k]);
    if (std::isnan(p)) continue;
    const size_t c = m_ColumnOf[k - first];
    if (mean) {
      joined[c] = count[c] == 0 ? p : joined[c] + p;
    } else if (std::isnan(joined[c]) || p > joined[c]) {
      joined[c] = p;
    }
    ++count[c];
  }
}

std::vector<Grid> SpectrumCells::Grids() const {
  const size_t rows = rowEdges.size() - 1, columns = columnEdges.size() - 1;
  std::vector<Grid> grids(panels);
  for (size_t p = 0; p < panels; ++p) {
    Grid& g = grids[p];
    g.rows = rows;
    g.columns = columns;
    g.cells.assign(m_Joined.begin() + static_cast<long>(p * rows * columns),
                   m_Joined.begin() + static_cast<long>((p + 1) * rows * columns));
    if (m_Options.bin != "mean") continue;
    for (size_t i = 0; i < g.cells.size(); ++i) {
      const uint32_t n = m_Count[p * rows * columns + i];
      if (n > 0) g.cells[i] /= static_cast<double>(n);
    }
  }
  return grids;
}

Figure SpectrumFigure(const SpectrumSlice& s, const PictureOptions& o) {
  if (s.values == nullptr) throw ToolError("nothing to draw");
  SpectrumCells cells(s, o);
  const size_t xs = s.x.values.size();
  for (size_t z = 0; z < s.values->size() / xs; ++z) cells.Add(z, s.values->data() + z * xs);
  return SpectrumFigure(s, cells, o);
}

Figure SpectrumFigure(const SpectrumSlice& s, const SpectrumCells& cells, const PictureOptions& o) {
  Figure f;
  StartFigure(&f, o, s.title);
  const std::string& style = cells.style;
  const WalkedDimension& fast = cells.fast;
  const WalkedDimension& slow = cells.slow;
  const size_t columns = cells.last - cells.first + 1;
  const size_t panels = cells.panels;

  std::string name, unit;
  NameAndUnit(fast, &name, &unit);
  const bool campbell = style == "map" && (name == "Speed" || name == "Time");
  f.subtitle =
      (style == "map" ? (campbell ? "Campbell diagram: spectra" : "Spectra") : std::string("Waterfall: spectra")) +
      " over " + Lower(name);
  if (!s.fixed.empty()) f.subtitle += ", " + s.fixed;
  f.subtitle += PanelsNote(slow, panels);
  f.hasBar = style == "map";
  f.panels.resize(panels);
  if (style == "waterfall") f.levelScale = "-";  // its room at the right; the text once the range is known
  const Frame frame = PlotFrame(f);
  f.x.label = XLabel(s.x);
  f.x.low = 0.0;
  f.x.high = static_cast<double>(columns);
  f.x.ticks = AxisTicks(s.x, cells.first, cells.last, TicksFor(frame.width, kPixelsPerXTick));

  // Joined to the pixels first (as powers), then as levels.
  const Levels levels(o);
  std::vector<Grid> binned = cells.Grids();
  std::vector<double> all;
  for (Grid& g : binned) {
    for (double& v : g.cells) v = levels.Level(v);
    all.insert(all.end(), g.cells.begin(), g.cells.end());
  }
  double low = 0, high = 1;
  ShownRange(all, o, &low, &high);
  f.bar.label = LevelLabel(o);
  f.bar.low = low;
  f.bar.high = high;
  f.bar.ticks = ValueTicks(low, high, TicksFor(frame.height, kPixelsPerBarTick));
  if (style == "waterfall")
    f.levelScale =
        o.linear ? Significant(high - low) + (o.unit.empty() ? "" : " " + o.unit) : Significant(o.rangeDb) + " dB";

  const double rows = static_cast<double>(fast.size);
  for (size_t p = 0; p < panels; ++p) {
    Panel& panel = f.panels[p];
    if (slow.size > 1) panel.caption = DimensionValueText(slow, static_cast<long>(p));
    panel.y.label = DimensionLabel(fast);
    panel.y.low = 0.0;
    panel.y.high = rows;
    panel.y.ticks = DimensionTicks(fast, TicksFor(frame.panelHeight, kPixelsPerYTick));
    if (style == "map") {
      panel.map = std::move(binned[p]);
      continue;
    }
    // Waterfall: each line's level rises up to four line spacings above
    // its baseline, so that peaks overlap the lines behind without hiding them.
    const Grid& g = binned[p];
    const std::vector<size_t>& rowEdges = cells.rowEdges;
    const std::vector<size_t>& columnEdges = cells.columnEdges;
    const double rise = 4.0 * rows / static_cast<double>(g.rows);
    f.levelHeight = rise;
    panel.y.high = rows + rise;
    for (size_t r = 0; r < g.rows; ++r) {
      Series line;
      line.baseline = 0.5 * static_cast<double>(rowEdges[r] + rowEdges[r + 1]);
      line.name = DimensionValueText(fast, static_cast<long>(rowEdges[r]));
      for (size_t c = 0; c < g.columns; ++c) {
        const double v = g.cells[r * g.columns + c];
        const double t = std::isnan(v) ? 0.0 : std::clamp((v - low) / (high - low), 0.0, 1.0);
        line.x.push_back(0.5 * static_cast<double>(columnEdges[c] + columnEdges[c + 1]));
        line.y.push_back(line.baseline + t * rise);
      }
      panel.lines.push_back(std::move(line));
    }
  }
  return f;
}

Figure SumFigure(const SumSlice& s, const PictureOptions& o) {
  Figure f;
  StartFigure(&f, o, s.title);
  const std::string style = o.style.empty() ? "lines" : o.style;
  if (style == "waterfall")
    throw ToolError("--style waterfall draws spectra (--spectrum): draw sums as lines or map", 2);
  const size_t rows = static_cast<size_t>(s.rows.size), columns = static_cast<size_t>(s.columns.size);
  if (s.values == nullptr || rows * columns == 0 || s.values->size() != rows * columns)
    throw ToolError("nothing to draw");
  std::string name, unit;
  NameAndUnit(s.columns, &name, &unit);
  f.subtitle = (o.linear ? "Value " : "Level ") + s.what + " against " + Lower(name);
  if (!s.fixed.empty()) f.subtitle += ", " + s.fixed;
  const size_t shown = style == "map" ? rows : std::min(rows, kMostPanels);
  f.subtitle += PanelsNote(s.rows, shown);
  f.hasBar = style == "map";
  f.legend = style == "lines" && rows > 1;
  f.panels.resize(1);
  const Frame frame = PlotFrame(f);
  f.x.label = DimensionLabel(s.columns);
  f.x.low = 0.0;
  f.x.high = static_cast<double>(columns);
  f.x.ticks = DimensionTicks(s.columns, TicksFor(frame.width, kPixelsPerXTick));

  const Levels levels(o);
  Grid g;
  g.rows = shown;
  g.columns = columns;
  for (size_t i = 0; i < shown * columns; ++i) g.cells.push_back(levels.Power((*s.values)[i]));
  const size_t width = static_cast<size_t>(frame.width);
  g = BinGrid(g, style == "map" ? static_cast<size_t>(frame.panelHeight) : shown, style == "map" ? width : width / 2,
              o.bin == "mean");
  for (double& v : g.cells) v = levels.Level(v);
  double low = 0, high = 1;
  ShownRange(g.cells, o, &low, &high);
  Panel& panel = f.panels[0];
  if (style == "map") {
    f.bar.label = LevelLabel(o);
    f.bar.low = low;
    f.bar.high = high;
    f.bar.ticks = ValueTicks(low, high, TicksFor(frame.height, kPixelsPerBarTick));
    panel.y.label = DimensionLabel(s.rows);
    panel.y.high = static_cast<double>(rows);
    panel.y.ticks = DimensionTicks(s.rows, TicksFor(frame.panelHeight, kPixelsPerYTick));
    panel.map = std::move(g);
    return f;
  }
  // Lines: the level axis spans what is drawn, at most --range-db.
  double lowest = INFINITY;
  for (double v : g.cells)
    if (std::isfinite(v)) lowest = std::min(lowest, v);
  if (!o.linear && std::isfinite(lowest)) low = std::max(low, std::floor(lowest - 1.0));
  if (o.linear) {
    const double pad = 0.05 * (high - low);
    low -= pad, high += pad;
  }
  panel.y.label = o.linear ? LevelLabel(o) : "Level (" + LevelLabel(o) + ")";
  panel.y.low = low;
  panel.y.high = high;
  panel.y.ticks = ValueTicks(low, high, TicksFor(frame.panelHeight, kPixelsPerYTick));
  const std::vector<size_t> columnEdges = BinEdges(columns, width / 2);
  for (size_t r = 0; r < g.rows; ++r) {
    Series line;
    line.name = DimensionValueText(s.rows, static_cast<long>(r));
    for (size_t c = 0; c < g.columns; ++c) {
      line.x.push_back(0.5 * static_cast<double>(columnEdges[c] + columnEdges[c + 1]));
      const double v = g.cells[r * g.columns + c];
      line.y.push_back(std::isfinite(v) ? std::max(v, low) : NAN);
    }
    panel.lines.push_back(std::move(line));
  }
  return f;
}

}  // namespace vqdm
