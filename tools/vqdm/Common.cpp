#include "tools/vqdm/Common.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace vqdm {

std::string DescribeHResult(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  std::string text = _com_error(hr).ErrorMessage();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text.empty() ? std::string(code) : std::string(code) + " " + text;
}

void Check(HRESULT hr, const std::string& what) {
  if (FAILED(hr)) throw ToolError(what + ": " + DescribeHResult(hr));
}

Apartment::Apartment() { Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "starting the component runtime"); }

Apartment::~Apartment() { CoUninitialize(); }

std::string Utf8(BSTR text) {
  if (text == nullptr) return std::string();
  const int length = static_cast<int>(SysStringLen(text));
  if (length == 0) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

_bstr_t Bstr(const std::string& utf8) {
  if (utf8.empty()) return _bstr_t(L"");
  const int chars = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
  if (chars > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), chars);
  return _bstr_t(wide.c_str());
}

vq::ComPtr<IStream> OpenForReading(const std::string& path) {
  vq::ComPtr<IStream> stream;
  Check(SHCreateStreamOnFileA(path.c_str(), STGM_READ | STGM_SHARE_DENY_WRITE, stream.put()), "cannot open " + path);
  return stream;
}

vq::ComPtr<IStream> OpenForWriting(const std::string& path) {
  vq::ComPtr<IStream> stream;
  Check(SHCreateStreamOnFileA(path.c_str(), STGM_WRITE | STGM_CREATE | STGM_SHARE_EXCLUSIVE, stream.put()),
        "cannot create " + path);
  return stream;
}

vq::ComPtr<IVQDataMatrix> NewMatrix() {
  vq::ComPtr<IVQDataMatrix> matrix;
  Check(CoCreateInstance(CLSID_VQDataMatrix, nullptr, CLSCTX_INPROC_SERVER, IID_IVQDataMatrix, matrix.put_void()),
        "cannot create a matrix");
  return matrix;
}

vq::ComPtr<IVQData> NewItem() {
  vq::ComPtr<IVQData> item;
  Check(CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_INPROC_SERVER, IID_IVQData, item.put_void()),
        "cannot create a data item");
  return item;
}

vq::ComPtr<IVQDataMatrix> ReadMatrixFile(const std::string& path) {
  vq::ComPtr<IStream> stream = OpenForReading(path);
  vq::ComPtr<IVQDataMatrix> matrix = NewMatrix();
  Check(matrix->Read(stream.get()), path + " is not a matrix stream");
  return matrix;
}

Sizes MatrixSizes(IVQDataMatrix* matrix) {
  Sizes sizes;
  LONG dimensions = 0;
  Check(matrix->get_Dimensions(&dimensions), "reading the dimensions");
  if (dimensions != 4) throw ToolError("the matrix is not initialised");
  for (LONG d = 0; d < 4; ++d) Check(matrix->get_Size(d + 1, &sizes.n[d]), "reading the sizes");
  return sizes;
}

DimensionAxis MatrixAxis(IVQDataMatrix* matrix, LONG dimension) {
  DimensionAxis axis;
  BSTR unit = nullptr;
  Check(matrix->GetAxis(dimension, &axis.first, &axis.step, &unit), "reading an axis");
  axis.unit = Utf8(unit);
  SysFreeString(unit);
  return axis;
}

namespace {
uint64_t StatusField(const char* name) {
  std::ifstream in("/proc/self/status");
  const size_t length = std::strlen(name);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, length, name) == 0) return std::strtoull(line.c_str() + length, nullptr, 10) * 1024;
  }
  return 0;
}
}  // namespace

uint64_t ResidentBytes() { return StatusField("VmRSS:"); }
uint64_t PeakResidentBytes() { return StatusField("VmHWM:"); }

Progress::Progress(bool enabled, const char* phase, uint64_t total, bool swapCounts)
    : m_On(enabled && isatty(STDERR_FILENO)), m_Phase(phase), m_Total(total), m_SwapCounts(swapCounts) {}

Progress::~Progress() {
  if (m_On && m_Shown) std::fputs("\r\033[K", stderr);
}

void Progress::Step(uint64_t done) {
  if (!m_On) return;
  const auto now = std::chrono::steady_clock::now();
  if (m_Shown && now - m_Last < std::chrono::milliseconds(100) && done != m_Total) return;
  m_Last = now;
  m_Shown = true;
  std::fprintf(stderr, "\r\033[K  %-9s %6.1f %%  resident %s", m_Phase,
               100.0 * static_cast<double>(done) / static_cast<double>(m_Total ? m_Total : 1),
               FormatBytes(static_cast<double>(ResidentBytes())).c_str());
  if (m_SwapCounts) {
    VQSwapStatistics2 s{};
    s.Size = sizeof(s);
    VQGetSwapStatistics2(&s);
    std::fprintf(stderr, "  swapped out %llu, read back %llu", static_cast<unsigned long long>(s.BlocksWritten),
                 static_cast<unsigned long long>(s.BlocksRead));
  }
}

std::string FormatBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024.0 && unit < 4) {
    bytes /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

const char* AxisKindName(LONG kind) {
  switch (kind) {
    case axisKindLinear:
      return "linear";
    case axisKindLogarithmic:
      return "logarithmic";
    case axisKindBands:
      return "bands";
    case axisKindValues:
      return "values";
    default:
      return "unknown";
  }
}

}  // namespace vqdm
