// vqdm info: what a matrix stream file holds, from one scan of its records
// (no values in memory) and its first element.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tools/vqdm/Commands.h"
#include "tools/vqdm/Common.h"
#include "tools/vqdm/StreamHeader.h"
#include "tools/vqdm/StreamScan.h"

namespace vqdm {
namespace {

void PrintHeader(const std::string& file, const StreamHeader& h) {
  struct stat st {};
  const bool sized = stat(file.c_str(), &st) == 0;
  std::printf("file         %s%s\n", file.c_str(),
              sized ? (" (" + FormatBytes(static_cast<double>(st.st_size)) + ")").c_str() : "");
  std::printf("version      %d\n", h.version);
  if (h.hasLabel) std::printf("label        \"%s\"\n", h.label.c_str());
  if (h.hasAllocation) {
    std::printf("type         %s\n", MatrixTypeName(h.type).c_str());
    const double bytes = double(VQDataBytesPerValue(h.format)) * h.xSize * h.zSize;
    std::printf("allocation   %d x %d values of %s (%s per element)\n", h.xSize, h.zSize, FormatName(h.format).c_str(),
                FormatBytes(bytes).c_str());
  }
  if (h.hasPriority) std::printf("priority     %s\n", PriorityName(h.priority).c_str());
  uint64_t elements = 1;
  for (const StreamDimension& d : h.dimension) elements *= static_cast<uint64_t>(std::max(d.size, 0));
  std::printf("dimensions   %d x %d x %d x %d = %llu elements\n", h.dimension[0].size, h.dimension[1].size,
              h.dimension[2].size, h.dimension[3].size, static_cast<unsigned long long>(elements));
  for (int d = 0; d < 4; ++d) {
    const StreamDimension& dim = h.dimension[d];
    std::printf("  d%d  %6d  from %g step %g%s%s\n", d + 1, dim.size, dim.first, dim.step, dim.unit.empty() ? "" : " ",
                dim.unit.c_str());
  }
}

// What the element records say, from one scan that skips the values (IDs
// take 4 bytes an element; a set would take ten times that), and the first
// element, the only one loaded.
void PrintElements(StreamFile& file) {
  uint64_t withId = 0, withLabel = 0;
  LONG lowest = 0, highest = 0;
  std::vector<LONG> ids;
  std::vector<std::string> examples;
  ElementRecord record, firstRecord;
  {
    Progress bar(true, "scanning", file.End());
    while (file.Next(&record)) {
      if (record.index == 0) firstRecord = record;
      if (record.id != -1) {
        if (withId == 0 || record.id < lowest) lowest = record.id;
        if (withId == 0 || record.id > highest) highest = record.id;
        ++withId;
        ids.push_back(record.id);
      }
      if (!record.label.empty()) {
        ++withLabel;
        if (examples.size() < 3) examples.push_back("\"" + record.label + "\"");
      }
      bar.Step(file.Position());
    }
  }
  std::sort(ids.begin(), ids.end());
  const size_t distinct = static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
  if (withId == 0) {
    std::printf("identifiers  none set\n");
  } else {
    std::printf("identifiers  %llu set, %zu distinct, %d .. %d\n", static_cast<unsigned long long>(withId), distinct,
                lowest, highest);
  }
  std::string sample;
  for (const std::string& e : examples) sample += (sample.empty() ? "" : ", ") + e;
  std::printf("labels       %llu set%s%s\n", static_cast<unsigned long long>(withLabel),
              sample.empty() ? "" : ", e.g. ", sample.c_str());

  vq::ComPtr<IVQData> item = file.Load(firstRecord.index, firstRecord.formOffset);
  LONG xs = 0, zs = 0, format = 0;
  item->GetSize(0, &xs);
  item->GetSize(1, &zs);
  item->GetFormat(&format);
  std::printf("first item   (0, 0, 0, 0): %d x %d values of %s\n", xs, zs, FormatName(format).c_str());
  vq::ComPtr<IVQAxis> axis;
  if (SUCCEEDED(item->GetAxis(axis.put())) && axis) {
    LONG kind = 0, size = 0;
    double first = 0, last = 0;
    BSTR unit = nullptr;
    axis->GetKind(&kind);
    axis->GetSize(&size);
    axis->GetValue(0, &first);
    axis->GetLastValue(&last);
    axis->GetUnit(&unit);
    std::printf("  x axis     %s, %d values, %g .. %g %s\n", AxisKindName(kind), size, first, last, Utf8(unit).c_str());
    SysFreeString(unit);
  }
  vq::ComPtr<IVQAttributeGroups> groups;
  LONG count = 0, attributes = 0;
  if (SUCCEEDED(item->GetAttributes(groups.put())) && groups) {
    groups->GetCount(&count);
    groups->GetAttributeCount(&attributes);
  }
  std::printf("  attributes %d groups, %d attributes\n", count, attributes);
}

}  // namespace

int RunInfo(const InfoOptions& options) {
  Apartment apartment;
  StreamFile file(options.file);
  PrintHeader(options.file, file.Header());
  if (!options.headerOnly) PrintElements(file);
  return 0;
}

}  // namespace vqdm
