// Picture.h - pictures of slices for engineers: Campbell diagrams, waterfalls
// and level-over-speed lines, with axes, round-numbered ticks, units, a title
// and a numbered colour bar.
//
// Two steps, so that the first can be tested without pixels: a Figure is the
// whole picture as a model (texts, tick positions, the binned cells and
// lines, in axis coordinates), built from a slice's values by SpectrumFigure
// or SumFigure; WriteFigure draws it with cairo as PNG, SVG or PDF.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vqdm {

// The user's choices for a picture (vqdm slice --picture ...).
struct PictureOptions {
  std::string path;
  std::string format;  // png, svg or pdf; "" = from the path's extension
  std::string style;   // map, waterfall or lines; "" = map for spectra, lines for sums
  std::string size = "1200x800";
  bool linear = false;      // values as they are instead of levels in dB
  int dbFactor = 20;        // 20·log10 for amplitudes, 10·log10 for powers
  double rangeDb = 60.0;    // levels shown below the highest
  double reference = 1.0;   // the value of 0 dB, in `unit`
  std::string unit;         // of the values
  std::string bin = "max";  // max or mean (mean power): how values sharing a pixel are joined
};

// Throws ToolError (exit 2) for a choice outside the above; returns the
// format and sets width and height. CheckDrawingOptions: all but the format.
std::string CheckPictureOptions(const PictureOptions& options, int* width, int* height);
void CheckDrawingOptions(const PictureOptions& options, int* width, int* height);

// ---------------------------------------------------------------------------
// The figure model.
// ---------------------------------------------------------------------------

struct Tick {
  double at;  // axis coordinate
  std::string text;
};

struct AxisModel {
  std::string label;  // "Frequency (Hz)"
  double low = 0.0, high = 1.0;
  std::vector<Tick> ticks;
};

// A grid of cell values, row 0 at the bottom; NaN for no value.
struct Grid {
  size_t rows = 0, columns = 0;
  std::vector<double> cells;  // row-major
};

struct Series {
  std::string name;
  std::vector<double> x, y;  // axis coordinates
  double baseline = NAN;     // waterfall: the line hides what lies behind it down to here
};

// One plot area; several are stacked top to bottom and share the x axis.
struct Panel {
  std::string caption;  // "run 2"
  AxisModel y;
  Grid map;  // coloured cells filling the area (colour scale: Figure::bar)
  std::vector<Series> lines;
};

struct ColourBar {
  std::string label;  // "dB re 1 m/s²"
  double low = 0.0, high = 1.0;
  std::vector<Tick> ticks;
};

struct Figure {
  int width = 1200, height = 800;
  std::string title, subtitle;
  AxisModel x;
  std::vector<Panel> panels;
  bool hasBar = false;
  ColourBar bar;
  bool legend = false;     // names of the lines at the right
  std::string levelScale;  // waterfall: "60 dB" for the height levelHeight of the y axis
  double levelHeight = 0.0;
};

// The plot areas' pixel frame within the picture (the same for the model
// and the drawing, so that tick counts and bins fit the pixels).
struct Frame {
  double left, top, width, height;  // of all panels together
  double panelHeight, gap;
};
Frame PlotFrame(const Figure& figure);

// ---------------------------------------------------------------------------
// Layout rules.
// ---------------------------------------------------------------------------

// Round tick values (1, 2 or 5 times a power of ten apart) inside [low, high],
// at most maxTicks of them (at least two when the range allows).
std::vector<double> RoundTicks(double low, double high, int maxTicks);
// Text of a tick value with no more decimals than its step needs.
std::string TickText(double value, double step);
// The nominal centre frequency of band `band` of the 1/fraction octave
// series ("31.5", "1k", "12.5k").
std::string BandCentreText(long band, long fraction);

// Values of an axis: its kind (VQAxisKind), one value per point, and for
// bands the band number of point 0 and the octave fraction.
struct ItemAxis {
  long kind = 0;
  std::vector<double> values;
  std::string unit;
  long firstBand = 0, fraction = 0;
};
// Ticks of points first .. last of an axis drawn as cells (point i spans
// coordinates i - first .. i - first + 1), at most maxTicks.
std::vector<Tick> AxisTicks(const ItemAxis& axis, size_t first, size_t last, int maxTicks);

// The bins of n items in at most `bins` groups: group g holds items
// edge[g] .. edge[g + 1] - 1 (n items when n <= bins).
std::vector<size_t> BinEdges(size_t n, size_t bins);
// A grid reduced to at most maxRows x maxColumns cells: each cell the largest
// or the mean value of the cells it joins (NaN ignored).
Grid BinGrid(const Grid& grid, size_t maxRows, size_t maxColumns, bool mean);

// ---------------------------------------------------------------------------
// Figures of slices.
// ---------------------------------------------------------------------------

// A dimension of the matrix as the slice walked it.
struct WalkedDimension {
  int index = 0;  // 0..3
  double first = 0.0, step = 1.0;
  std::string unit;
  long size = 1;
};
// "Speed (rpm)", "Channel", "d4"; ValueText: "600 rpm", "channel 2", "d4 = 0".
std::string DimensionLabel(const WalkedDimension& d);
std::string DimensionValueText(const WalkedDimension& d, long position);

struct SpectrumSlice {
  std::string title;  // the matrix label or the file name
  std::string fixed;  // "channel 1" (the dimensions not walked)
  ItemAxis x;
  // Record z = f + fast.size * s: fast positions up the y axis, one panel
  // per slow position.
  WalkedDimension fast, slow;
  const std::vector<double>* values = nullptr;  // zs x xs
  double xFrom = NAN, xTo = NAN;                // zoom
};
Figure SpectrumFigure(const SpectrumSlice& slice, const PictureOptions& options);

// A spectrum slice's records joined into the picture's cells as they come
// (as powers: the largest, or their sum and count for --bin mean), so that a
// slice read a chunk at a time keeps no more of them than the picture has
// pixels. The slice's values are not used: fast.size x slow.size records are
// added with Add. Throws ToolError (exit 2) for a style that draws no
// spectra and for a zoom that holds no point of the x axis.
class SpectrumCells {
 public:
  SpectrumCells(const SpectrumSlice& slice, const PictureOptions& options);
  // Record z (fast position z % fast.size, panel z / fast.size): one value
  // per point of slice.x. Records of panels not drawn are passed over.
  void Add(size_t z, const double* values);
  // The panels' cells, row 0 the lowest fast positions (NaN: no value).
  std::vector<Grid> Grids() const;

  std::string style;                // map or waterfall
  WalkedDimension fast, slow;       // slow.size 1 when the records are not fast x slow
  size_t first = 0, last = 0;       // the x points shown
  size_t panels = 0;                // the slow positions drawn
  std::vector<size_t> rowEdges;     // fast positions -> rows of cells (BinEdges)
  std::vector<size_t> columnEdges;  // shown points -> columns of cells

 private:
  PictureOptions m_Options;
  std::vector<size_t> m_ColumnOf;  // shown point -> column of cells
  std::vector<double> m_Joined;    // panel-major grids: the largest power, or the sum
  std::vector<uint32_t> m_Count;   // values joined in each cell
};
Figure SpectrumFigure(const SpectrumSlice& slice, const SpectrumCells& cells, const PictureOptions& options);

struct SumSlice {
  std::string title, fixed;
  std::string what;  // "of the sum over 780 to 820 Hz", "at 800 Hz", "of the 800 Hz band"
  // values[r * columns.size + c]: one line per row position.
  WalkedDimension rows, columns;
  const std::vector<double>* values = nullptr;
};
Figure SumFigure(const SumSlice& slice, const PictureOptions& options);

// Draws the figure to options.path in the checked format. Throws ToolError
// (exit 1) when the file cannot be written.
void WriteFigure(const Figure& figure, const std::string& path, const std::string& format);

// RGB of t in [0, 1] on the scale (dark blue, purple, red, orange, light yellow).
void ScaleColour(double t, unsigned char rgb[3]);

}  // namespace vqdm
