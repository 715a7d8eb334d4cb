// Commands.h - the vqdm commands. Each returns the process exit code and
// reports failures by throwing ToolError (one line, see Common.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VQDataMatrixLib.h"
#include "tools/vqdm/Picture.h"

namespace vqdm {

struct DemoOptions {
  std::string memoryBudget = "256M";  // "" or "0": none
  LONG speeds = 400;                  // d1: speed steps
  LONG channels = 4;                  // d2
  LONG runs = 2;                      // d3
  LONG lines = 8192;                  // values per spectrum
  std::string kind = "multi";         // storage kind: single or multi
  std::string outDir;                 // where the stream files go; "" = a temporary folder, removed after
  bool progress = true;               // progress lines on a terminal
};
int RunDemo(const DemoOptions& options);

struct InfoOptions {
  std::string file;
  bool headerOnly = false;
};
int RunInfo(const InfoOptions& options);

struct SliceOptions {
  std::string file;
  std::string plane = "d1d2";   // d1d2, d1d3 or d2d3
  std::vector<LONG> fixed;      // the two fixed positions; default 0 0
  std::string range;            // "MIN:MAX": a sum over an x-range, or with --spectrum the x-range drawn
  bool spectrum = false;        // whole records instead of sums
  LONG record = 0;              // Z
  std::string by = "row";       // row or column
  std::string csv;              // "-" = standard output
  PictureOptions picture;       // picture.path "" = none
};
int RunSlice(const SliceOptions& options);

struct ExportOptions {
  std::string file;
  std::vector<LONG> at;  // d1 d2 d3 d4 of one element
  bool all = false;      // every element, one row each (record `record`)
  LONG record = -1;      // -1: every record (one element) / record 0 (all)
  std::string csv;       // "" or "-" = standard output
};
int RunExport(const ExportOptions& options);

// `register` and `unregister` are vqtools::RegisterAndReport
// (tools/RegisterLibrary.h), which vqregsvr runs too.

// Values of an item as doubles (complex: magnitude), record after record.
std::vector<double> ItemValues(IVQData* item, LONG* xSize, LONG* zSize);

}  // namespace vqdm
