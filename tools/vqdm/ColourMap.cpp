#include "tools/vqdm/ColourMap.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "tools/vqdm/Common.h"

namespace vqdm {

void ScaleColour(double t, unsigned char rgb[3]) {
  struct Anchor {
    double at;
    double r, g, b;
  };
  static const Anchor kAnchors[] = {{0.00, 12, 8, 48},   {0.30, 80, 20, 140},  {0.55, 196, 48, 92},
                                    {0.80, 248, 152, 36}, {1.00, 255, 248, 196}};
  if (!(t >= 0.0)) t = 0.0;  // NaN too
  if (t > 1.0) t = 1.0;
  size_t k = 1;
  while (k + 1 < std::size(kAnchors) && t > kAnchors[k].at) ++k;
  const Anchor& a = kAnchors[k - 1];
  const Anchor& b = kAnchors[k];
  const double f = (t - a.at) / (b.at - a.at);
  rgb[0] = static_cast<unsigned char>(std::lround(a.r + (b.r - a.r) * f));
  rgb[1] = static_cast<unsigned char>(std::lround(a.g + (b.g - a.g) * f));
  rgb[2] = static_cast<unsigned char>(std::lround(a.b + (b.b - a.b) * f));
}

namespace {

constexpr size_t kGap = 8, kBar = 16;

// Merges columns into at most maxColumns groups, keeping each group's
// largest value (peaks stay visible).
std::vector<double> MergeColumns(const std::vector<double>& values, size_t rows, size_t columns, size_t groups) {
  std::vector<double> out(rows * groups, -std::numeric_limits<double>::infinity());
  for (size_t r = 0; r < rows; ++r) {
    for (size_t c = 0; c < columns; ++c) {
      double& cell = out[r * groups + c * groups / columns];
      const double v = values[r * columns + c];
      if (std::isfinite(v) && (!std::isfinite(cell) || v > cell)) cell = v;
    }
  }
  return out;
}

}  // namespace

void WriteColourMap(const std::string& path, const std::vector<double>& input, size_t rows, size_t columns,
                    const ColourMapOptions& options) {
  if (rows == 0 || columns == 0 || input.size() != rows * columns) throw ToolError("nothing to draw");
  std::vector<double> values = input;
  if (columns > options.maxColumns && options.maxColumns > 0) {
    values = MergeColumns(input, rows, columns, options.maxColumns);
    columns = options.maxColumns;
  }
  if (options.decibels) {
    for (double& v : values) v = v != 0.0 && std::isfinite(v) ? 20.0 * std::log10(std::fabs(v)) : -INFINITY;
  }
  double low = INFINITY, high = -INFINITY;
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    low = std::min(low, v);
    high = std::max(high, v);
  }
  if (options.decibels && std::isfinite(high)) low = std::max(low, high - options.rangeDb);
  const double span = high > low ? high - low : 1.0;

  const size_t cellW = std::max<size_t>(1, (options.minWidth + columns - 1) / columns);
  const size_t cellH = std::max<size_t>(1, (options.minHeight + rows - 1) / rows);
  const size_t plotW = columns * cellW, height = rows * cellH, width = plotW + kGap + kBar;
  if (width > 16384 || height > 16384) throw ToolError("the picture would be larger than 16384 pixels a side");
  std::vector<unsigned char> pixels(width * height * 3, 255);
  for (size_t y = 0; y < height; ++y) {
    const size_t row = rows - 1 - y / cellH;  // first row at the bottom
    unsigned char* line = pixels.data() + y * width * 3;
    for (size_t c = 0; c < columns; ++c) {
      unsigned char rgb[3];
      ScaleColour((values[row * columns + c] - low) / span, rgb);
      for (size_t x = c * cellW; x < (c + 1) * cellW; ++x) std::memcpy(line + x * 3, rgb, 3);
    }
    unsigned char bar[3];
    ScaleColour(1.0 - static_cast<double>(y) / static_cast<double>(height > 1 ? height - 1 : 1), bar);
    for (size_t x = plotW + kGap; x < width; ++x) std::memcpy(line + x * 3, bar, 3);
  }

  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGB;
  const int ok = png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), static_cast<png_int_32>(width * 3),
                                         nullptr);
  if (ok == 0) {
    const std::string why = image.message;
    png_image_free(&image);
    throw ToolError("cannot write " + path + ": " + why);
  }
}

}  // namespace vqdm
