#include "tools/vqdm/SlicePicture.h"

#include "tools/vqdm/Common.h"

namespace vqdm {

ItemAxis ReadItemAxis(IVQData* item) {
  ItemAxis axis;
  LONG xs = 0;
  Check(item->GetSize(0, &xs), "reading the x size");
  axis.values.resize(static_cast<size_t>(xs > 0 ? xs : 0));
  for (size_t i = 0; i < axis.values.size(); ++i) axis.values[i] = static_cast<double>(i);
  vq::ComPtr<IVQAxis> x;
  LONG size = 0, kind = 0, firstBand = 0, fraction = 0;
  if (FAILED(item->GetAxis(x.put())) || !x || FAILED(x->GetSize(&size)) || size < xs || xs == 0) return axis;
  if (FAILED(x->GetValues(xs, axis.values.data()))) return axis;
  x->GetKind(&kind);
  x->GetFirstBand(&firstBand);
  x->GetFraction(&fraction);
  axis.kind = kind;
  axis.firstBand = firstBand;
  axis.fraction = fraction;
  BSTR unit = nullptr;
  if (SUCCEEDED(x->GetUnit(&unit))) axis.unit = Utf8(unit);
  SysFreeString(unit);
  return axis;
}

WalkedDimension ReadDimension(IVQDataMatrix* matrix, int index) {
  const DimensionAxis axis = MatrixAxis(matrix, index);
  WalkedDimension d;
  d.index = index;
  d.first = axis.first;
  d.step = axis.step;
  d.unit = axis.unit;
  d.size = MatrixSizes(matrix).n[index];
  return d;
}

WalkedDimension ReadDimension(const StreamHeader& header, int index) {
  const StreamDimension& dimension = header.dimension[index];
  WalkedDimension d;
  d.index = index;
  d.first = dimension.first;
  d.step = dimension.step;
  d.unit = dimension.unit;
  d.size = dimension.size;
  return d;
}

namespace {

std::string Title(const std::string& label, const std::string& file) {
  if (!label.empty()) return label;
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? file : file.substr(slash + 1);
}

template <class DimensionOf>
std::string Fixed(const DimensionOf& dimensionOf, const int dimensions[2], const long positions[2], long record,
                  long records) {
  std::string text;
  for (int k = 0; k < 2; ++k) {
    const WalkedDimension d = dimensionOf(dimensions[k]);
    if (d.size <= 1) continue;
    text += (text.empty() ? "" : ", ") + DimensionValueText(d, positions[k]);
  }
  if (records > 1) text += (text.empty() ? "record " : ", record ") + std::to_string(record);
  return text;
}

}  // namespace

std::string MatrixTitle(IVQDataMatrix* matrix, const std::string& file) {
  BSTR label = nullptr;
  std::string title;
  if (SUCCEEDED(matrix->get_MatrixLabel(&label))) title = Utf8(label);
  SysFreeString(label);
  return Title(title, file);
}

std::string MatrixTitle(const StreamHeader& header, const std::string& file) { return Title(header.label, file); }

std::string FixedText(IVQDataMatrix* matrix, const int dimensions[2], const long positions[2], long record,
                      long records) {
  return Fixed([&](int index) { return ReadDimension(matrix, index); }, dimensions, positions, record, records);
}

std::string FixedText(const StreamHeader& header, const int dimensions[2], const long positions[2], long record,
                      long records) {
  return Fixed([&](int index) { return ReadDimension(header, index); }, dimensions, positions, record, records);
}

}  // namespace vqdm
