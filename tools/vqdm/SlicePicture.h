// SlicePicture.h - what a picture of a slice needs to know of the matrix:
// its title, the items' x axis, the walked dimensions, the fixed positions.
#pragma once

#include <string>

#include "VQDataMatrixLib.h"
#include "tools/vqdm/Picture.h"
#include "tools/vqdm/StreamHeader.h"

namespace vqdm {

// An item's x axis (linear points 0, 1, ... when it has none).
ItemAxis ReadItemAxis(IVQData* item);
// Matrix dimension `index` (0..3) with its axis and size.
WalkedDimension ReadDimension(IVQDataMatrix* matrix, int index);
// The matrix label, else the file's name without its folders.
std::string MatrixTitle(IVQDataMatrix* matrix, const std::string& file);
// "channel 1, run 2, record 1": the positions of the dimensions not walked
// (those of one position left out) and the record when there are several.
std::string FixedText(IVQDataMatrix* matrix, const int dimensions[2], const long positions[2], long record,
                      long records);

// The same from a stream file's header, for the commands that read the
// file's elements without building its matrix.
WalkedDimension ReadDimension(const StreamHeader& header, int index);
std::string MatrixTitle(const StreamHeader& header, const std::string& file);
std::string FixedText(const StreamHeader& header, const int dimensions[2], const long positions[2], long record,
                      long records);

}  // namespace vqdm
