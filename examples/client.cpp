// A minimal client of VQDataMatrixLib: a run-up with one spectrum per speed
// step and channel, a slice of one frequency band, and a stream round trip.
#include <cstdio>

#include "VQDataMatrixLib.h"

int main() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
  int rc = 0;
  {
    IVQDataMatrixPtr matrix;
    HRESULT hr = matrix.CreateInstance(CLSID_VQDataMatrix);
    if (FAILED(hr)) return 2;

    // 20 speed steps x 2 channels, 1024 lines of float64 per spectrum.
    const LONG speeds = 20, channels = 2, lines = 1024;
    matrix->Initialize2(speeds, channels, 1, 1, lines, 1, 1 /* float64 */, matrixSingleObject);
    matrix->AllInitializeAsLinear(lines, 0.0, 12.5, _bstr_t(L"Hz"));
    matrix->InitializeAxis(0, 1000.0, 250.0, _bstr_t(L"rpm"));

    for (LONG s = 0; s < speeds; ++s) {
      for (LONG c = 0; c < channels; ++c) {
        IUnknownPtr unknown;
        matrix->get_DataPtr(s, c, 0, 0, &unknown);
        IVQDataPtr spectrum(unknown);
        VQDataBuffer buffer{};
        spectrum->GetDataBuffer(&buffer);
        for (LONG k = 0; k < lines; ++k) buffer.pDouble[k] = (k == 8 * s) ? 1.0 + c : 0.001;
      }
    }

    // The sum over 95..105 Hz of every spectrum, laid out speed by channel.
    IVQDataPtr slice;
    slice.CreateInstance(CLSID_VQData);
    hr = matrix->GetD1D2Slice(95.0, 105.0, 0, 0, 0, matrixDirectionByRow, slice);
    LONG x = 0, z = 0;
    slice->GetSize(0, &x);
    slice->GetSize(1, &z);
    std::printf("slice: %s, %d x %d values\n", SUCCEEDED(hr) ? "ok" : "failed", x, z);
    if (FAILED(hr)) rc = 3;

    // Save the matrix and read it back into a new one.
    IStreamPtr stream;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    if (FAILED(matrix->Write(stream))) rc = 4;
    LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    IVQDataMatrixPtr copy;
    copy.CreateInstance(CLSID_VQDataMatrix);
    if (FAILED(copy->Read(stream))) rc = 5;
    LONG size = 0;
    copy->get_Size(1, &size);
    std::printf("read back: %d speed steps\n", size);
    if (size != speeds) rc = 6;
  }
  CoUninitialize();
  return rc;
}
