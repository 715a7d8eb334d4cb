// ColourMap.h - a grid of values as a PNG colour map (Campbell and waterfall
// pictures): one cell per value, the first row at the bottom, a colour scale
// bar at the right.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vqdm {

struct ColourMapOptions {
  // Colour by level in dB (20·log10|v|) over `rangeDb` below the largest
  // level, instead of linearly between the smallest and the largest value.
  bool decibels = false;
  double rangeDb = 60.0;
  // Cells are enlarged to reach about this size; more columns than
  // maxColumns are merged (largest value of each group).
  size_t minWidth = 512;
  size_t minHeight = 320;
  size_t maxColumns = 2048;
};

// RGB of t in [0, 1] on the scale (dark blue, purple, red, orange, light yellow).
void ScaleColour(double t, unsigned char rgb[3]);

// values: rows x columns, row-major. Throws ToolError when the file cannot
// be written or the grid is empty.
void WriteColourMap(const std::string& path, const std::vector<double>& values, size_t rows, size_t columns,
                    const ColourMapOptions& options);

}  // namespace vqdm
