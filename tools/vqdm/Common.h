// Common.h - what every vqdm command shares: the one-line failure, HRESULT
// checks, the apartment, file streams and matrices read from files.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "VQDataMatrixLib.h"

namespace vqdm {

// A failure that ends a command: one line for the user and an exit code
// (1: the command failed, 2: bad arguments).
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& what, int exitCode = 1) : std::runtime_error(what), m_ExitCode(exitCode) {}
  int ExitCode() const { return m_ExitCode; }

 private:
  int m_ExitCode;
};

// "0x80070002 The system cannot find the file specified."
std::string DescribeHResult(HRESULT hr);
// Throws ToolError("what: <DescribeHResult>") when hr failed.
void Check(HRESULT hr, const std::string& what);

// A single-threaded apartment for the lifetime of a command.
class Apartment {
 public:
  Apartment();
  ~Apartment();
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
};

// Text of a BSTR as UTF-8 ("" for null).
std::string Utf8(BSTR text);
// A new BSTR wrapper of UTF-8 text.
_bstr_t Bstr(const std::string& utf8);

// A file stream: for reading an existing file, or for writing a new or
// truncated one.
vq::ComPtr<IStream> OpenForReading(const std::string& path);
vq::ComPtr<IStream> OpenForWriting(const std::string& path);

vq::ComPtr<IVQDataMatrix> NewMatrix();
vq::ComPtr<IVQData> NewItem();
// Reads the matrix stored in a file; "PATH is not a matrix stream: ..." when
// the file cannot be read as one.
vq::ComPtr<IVQDataMatrix> ReadMatrixFile(const std::string& path);

// The four dimension sizes of an initialised matrix.
struct Sizes {
  LONG n[4] = {0, 0, 0, 0};
  uint64_t Elements() const { return uint64_t(n[0]) * uint64_t(n[1]) * uint64_t(n[2]) * uint64_t(n[3]); }
};
Sizes MatrixSizes(IVQDataMatrix* matrix);

// One matrix dimension's axis: value of position i = first + i * step.
struct DimensionAxis {
  double first = 0.0;
  double step = 1.0;
  std::string unit;
  double At(LONG i) const { return first + step * static_cast<double>(i); }
};
DimensionAxis MatrixAxis(IVQDataMatrix* matrix, LONG dimension);

// Resident size and its peak, of this process, in bytes (0 when unknown).
uint64_t ResidentBytes();
uint64_t PeakResidentBytes();

// Progress of a long command, on a terminal only: one line on standard error
// rewritten in place at most every 0.1 s (with the resident size, and with
// swapCounts the swap file's transfers), cleared when the object goes.
class Progress {
 public:
  Progress(bool enabled, const char* phase, uint64_t total, bool swapCounts = false);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(uint64_t done);

 private:
  bool m_On;
  const char* m_Phase;
  uint64_t m_Total;
  bool m_SwapCounts;
  bool m_Shown = false;
  std::chrono::steady_clock::time_point m_Last{};
};

// "12.3 MiB", "512 KiB", "7 B".
std::string FormatBytes(double bytes);

// The name of an axis kind (axisKindLinear ... axisKindValues; "unknown"
// for any other value), as `info` shows it and netCDF files store it.
const char* AxisKindName(LONG kind);

}  // namespace vqdm
