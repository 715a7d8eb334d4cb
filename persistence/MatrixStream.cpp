// Write and Read: the whole matrix to and from a caller's stream.
//
// The matrix writes its header, the axes of its dimensions and, per element,
// the ID and label followed by whatever the element's data item writes of
// itself. Reading trusts nothing it reads: the header is read into locals
// and checked whole before the matrix stores or allocates anything, and the
// per-element tables (storage objects, items, IDs and labels) are built as
// the element records arrive, so that what a Read costs follows the bytes it
// actually read, not the sizes a header declares.
#include <cstring>
#include <string>

#include "core/VQErrorReporting.h"
#include "matrix/VQDataMatrix.h"
#include "persistence/StreamFields.h"
#include "persistence/WriteCombiner.h"
#include "storage/DataBase.h"
#include "trace/VQTrace.h"

using vq::persist::kInvalidData;
using vq::persist::Refuse;
using vq::persist::StreamReader;
using vq::persist::StreamWriter;

namespace {

constexpr LONG kStreamVersion = 4;

// Every element record takes at least its ID (4 bytes), its label count (4)
// and the data item's form, which is never shorter than 100 bytes (a 24-byte
// header, six required sections of at least 12 bytes, a 4-byte checksum), so
// a stream that can tell its length bounds the number of elements it can
// describe: a header that claims more is refused before anything is built.
constexpr uint64_t kMinElementRecordBytes = 4 + 4 + 100;
// Without a length to compare against, the header may ask for at most this
// many elements and this many bytes of values (elements x element bytes).
constexpr uint64_t kMaxElementsUnsized = 1ull << 16;
constexpr uint64_t kMaxPreallocUnsized = 256ull << 20;
// With a known length, the declared values may exceed the bytes left by this
// much (single-object items replaced by smaller ones after the allocation
// still read back).
constexpr uint64_t kPreallocSlack = 64ull << 20;

// The header and dimension records as read, before anything is stored.
struct Header {
  LONG version = 0;
  LONG dimensions = 0;
  bool hasLabel = false;
  std::wstring label;
  LONG type = matrixSingleObject;
  LONG format = 0;
  LONG xSize = 0;
  LONG zSize = 0;
  LONG priority = elementPriorityFifo;
  LONG sizes[4] = {0, 0, 0, 0};
  double first[4] = {0, 0, 0, 0};
  double step[4] = {0, 0, 0, 0};
  std::wstring unit[4];
};

// A BSTR for the length of a call: the matrix's interface takes BSTRs.
class ScopedBstr {
 public:
  explicit ScopedBstr(const std::wstring& text)
      : m_Value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
    if (m_Value == nullptr) _com_issue_error(E_OUTOFMEMORY);
  }
  ~ScopedBstr() { SysFreeString(m_Value); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return m_Value; }

 private:
  BSTR m_Value;
};

}  // namespace

// ---------------------------------------------------------------------------
// Write.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQDataMatrix::Write(IStream* pStream) {
  VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Entering Write");
  if (pStream == nullptr) return MissingArgument("pStream");
  bool leave = true;
  HRESULT result = vq::MethodGuard(
      "CVQDataMatrix::Write",
      [&]() -> HRESULT {
        // Every text must fit a reader's limit; checked first so that a
        // refused Write leaves nothing half-written behind.
        const size_t labelLength = SysStringLen(m_MatrixLabel);
        bool fits = StreamWriter::TextBytes(labelLength) <= vq::persist::kMaxTextBytes;
        for (uint32_t d = 0; d < m_Dimensions; ++d) {
          fits = fits && StreamWriter::TextBytes(m_Axes[d].Unit.size()) <= vq::persist::kMaxTextBytes;
        }
        if (m_PointInfo) {
          for (const PointInfo& point : *m_PointInfo) {
            fits = fits && StreamWriter::TextBytes(point.Label.size()) <= vq::persist::kMaxTextBytes;
          }
        }
        if (!fits) {
          VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "Write: a label or unit is longer than 9999 characters");
          vq::ReportFailuref(E_INVALIDARG, "A label or unit is longer than the %d characters a stream holds",
                             vq::persist::kMaxTextBytes - 1);
          _com_issue_error(E_INVALIDARG);
        }

        // The fields and items go through a write-combining stream: one
        // target write per 64 KiB of small writes instead of one each (a file
        // stream writes through, so each would be a system call). Its bytes
        // reach pStream by the Flush at the end, whose failure is this Write's.
        vq::persist::WriteCombiningStream* combiner = nullptr;
        vq::ThrowIfFailed(vq::persist::WriteCombiningStream::Create(pStream, &combiner));
        vq::ComPtr<IStream> stream;
        stream.attach(combiner);
        StreamWriter out(stream.get());
        out.Int32(kStreamVersion);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: Version = %d", kStreamVersion);
        out.Int32(static_cast<LONG>(m_Dimensions));
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: Dimensions = %d", static_cast<int>(m_Dimensions));
        out.Text(m_MatrixLabel != nullptr ? m_MatrixLabel : L"", labelLength);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: Label = \"%ls\"",
                 m_MatrixLabel != nullptr ? m_MatrixLabel : L"");
        out.Int32(static_cast<LONG>(m_MatrixType));
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: MatrixType = %d", static_cast<int>(m_MatrixType));
        out.Int32(m_Format);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: Format = %d", m_Format);
        out.Int32(m_XSize);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: XSize = %d", m_XSize);
        out.Int32(m_ZSize);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: ZSize = %d", m_ZSize);
        const LONG priority = static_cast<LONG>(m_Priority.GetPriorityType());
        out.Int32(priority);
        VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Write: Priority(0=FIFO, 1=LIFO) = %d", priority);

        for (uint32_t d = 0; d < m_Dimensions; ++d) {
          out.Int32(static_cast<LONG>(m_Sizes[d]));
          out.Double(m_Axes[d].FirstValue);
          out.Double(m_Axes[d].Step);
          out.Text(m_Axes[d].Unit.data(), m_Axes[d].Unit.size());
        }

        for (uint32_t idx = 0; idx < m_SizeAll; ++idx) {
          // ReleaseAllVQData drops IDs and labels together with the items; the
          // element then fails below, once its record has been started.
          if (m_PointInfo) {
            const PointInfo& point = PointAt(idx);
            out.Int32(point.ID);
            out.Text(point.Label.data(), point.Label.size());
          } else {
            out.Int32(-1);
            out.Text(L"", 0);
          }
          LONG d1, d2, d3, d4;
          PositionOf(idx, &d1, &d2, &d3, &d4);
          // Read-only access with attributes: a swapped-out element comes
          // back whole (values, axis and attributes) and unmodified, it moves
          // to the back of the swap queue, and element 0 receives the
          // matrix's tag vectors. A failure to bring it back (the swap file)
          // is the failure of Write.
          const bool present = HasStorage(idx);
          vq::ComPtr<IUnknown> unknown;
          HRESULT hr = S_OK;
          try {
            if (present) hr = GetElement(d1, d2, d3, d4, false, true, unknown.put());
          } catch (const _com_error& e) {
            hr = e.Error();  // traced by GetElement; reported as any failed fetch
            if (IErrorInfo* info = e.ErrorInfo()) {
              vq::ReportFailureInfo(info);
              info->Release();
            } else {
              ElementFailure(hr, "read", d1, d2, d3, d4);
            }
          }
          if (FAILED(hr)) {
            VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "Write: element %u could not be fetched. hr=0x%08x",
                     static_cast<unsigned>(idx), static_cast<unsigned>(hr));
            _com_issue_error(hr);
          }
          vq::ComPtr<IVQData> item;
          if (unknown) unknown->QueryInterface(IID_IVQData, item.put_void());
          if (!item) {
            VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "Write: element %u has no data item",
                     static_cast<unsigned>(idx));
            vq::ReportFailuref(E_POINTER, "Element (%d, %d, %d, %d) has no data item to write", d1, d2, d3, d4);
            _com_issue_error(E_POINTER);
          }
          vq::ComPtr<IVQDataPersist> persist;
          vq::ThrowIfFailed(item->QueryInterface(IID_IVQDataPersist, persist.put_void()), item.get(), IID_IVQData);
          vq::ThrowIfFailed(persist->SaveToStream(stream.get()), persist.get(), IID_IVQDataPersist);
        }
        const HRESULT flushed = combiner->Flush();
        if (FAILED(flushed)) {
          VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "Write: the stream refused the last bytes. hr=0x%08x",
                   static_cast<unsigned>(flushed));
          const _com_error error(flushed);
          vq::ReportFailuref(flushed, "The stream refused the last bytes: %s (0x%08X)", vq::ComErrorText(error),
                             static_cast<unsigned>(flushed));
          _com_issue_error(flushed);
        }
        return S_OK;
      },
      [&](const char* message) { VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "COM Error, %s", message); },
      [&] {
        // Standard errors are caught and traced below; anything else is not
        // followed by the leaving trace.
        try {
          throw;
        } catch (const std::exception& e) {
          VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "%s", e.what());
        } catch (...) {
          VQ_TRACE("CVQDataMatrix::Write", "Assert", 1, "Unhandled exception");
          leave = false;
        }
      });
  if (leave) VQ_TRACE("CVQDataMatrix::Write", "DataMatrix", 2, "Leaving Write");
  return result;
}

// ---------------------------------------------------------------------------
// Read.
// ---------------------------------------------------------------------------

STDMETHODIMP CVQDataMatrix::Read(IStream* pStream) {
  VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Entering Read");
  if (pStream == nullptr) return MissingArgument("pStream");
  return vq::MethodGuard("CVQDataMatrix::Read", [&]() -> HRESULT {
    // Refused before anything is read or stored, so that an initialised
    // matrix keeps sizes that match its storage.
    if (IsInitialized() || m_FileCache || m_AxisManager || m_AttributeManager || m_PointInfo) {
      vq::RefuseWithReason(HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED),
                           "Stream refused: the matrix is already initialised",
                           "The matrix is already initialised: Read builds a new matrix only");
    }

    StreamReader in(pStream);
    Header h;
    h.type = static_cast<LONG>(m_MatrixType);
    h.format = m_Format;
    h.xSize = m_XSize;
    h.zSize = m_ZSize;
    h.version = in.Int32();
    h.dimensions = in.Int32();
    // Only an initialised matrix has four sizes to give; a stream with any
    // other count has nothing this matrix could be built from.
    if (h.dimensions != 4) Refuse(kInvalidData, "the dimension count is not 4");
    if (h.version >= 2) {
      h.hasLabel = in.Text(&h.label);
      if (h.hasLabel) VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: Label = \"%ls\"", h.label.c_str());
    }
    if (h.version >= 3) {
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: Version = %d", h.version);
      h.type = in.Int32();
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: MatrixType = %d", h.type);
      h.format = in.Int32();
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: Format = %d", h.format);
      h.xSize = in.Int32();
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: XSize = %d", h.xSize);
      h.zSize = in.Int32();
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: ZSize = %d", h.zSize);
    }
    if (h.version >= 4) {
      h.priority = in.Int32();
      VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Read: Priority(0=FIFO, 1=LIFO) = %d", h.priority);
    }
    for (int d = 0; d < 4; ++d) {
      h.sizes[d] = in.Int32();
      h.first[d] = in.Double();
      h.step[d] = in.Double();
      in.Text(&h.unit[d]);
    }

    // The header must describe a matrix that can be built, and one whose
    // element records and preallocated values the stream can plausibly back.
    uint64_t count = 1;
    for (LONG size : h.sizes) {
      if (size < 1) Refuse(kInvalidData, "a dimension size is below 1");
      count *= static_cast<uint64_t>(size);
      if (count > UINT32_MAX) Refuse(kInvalidData, "the element count does not fit 32 bits");
    }
    if (h.type != matrixSingleObject && h.type != matrixMultipleObjects) {
      Refuse(kInvalidData, "unknown matrix type");
    }
    // Only the two queue orders exist; any other value could not even be
    // held by the priority type.
    if (h.priority != elementPriorityFifo && h.priority != elementPriorityLifo) {
      Refuse(kInvalidData, "unknown swap priority");
    }
    if (h.format < 0 || h.format > 6) Refuse(kInvalidData, "unknown value format");
    if (h.xSize < 0 || h.zSize < 0) Refuse(kInvalidData, "a negative XSize or ZSize");
    const bool allocate = h.version >= 3 && h.xSize != 0 && h.zSize != 0;
    uint32_t elementBytes = 0;
    if (allocate && !CDataBase::ElementBytes(h.format, h.xSize, h.zSize, &elementBytes)) {
      Refuse(kInvalidData, "an element's values do not fit 32 bits");
    }
    // Packed elements all take the header's shape: without one, no element
    // could be stored (and no writer writes such a stream).
    if (h.type == matrixMultipleObjects && !allocate) {
      Refuse(kInvalidData, "a multiple-object matrix without an element shape");
    }
    const uint64_t values = count * elementBytes;  // both below 2^32: no overflow
    uint64_t remaining = 0;
    if (in.Remaining(&remaining)) {
      if (count > remaining / kMinElementRecordBytes) Refuse(kInvalidData, "more elements than the stream holds");
      if (values > remaining + kPreallocSlack) Refuse(kInvalidData, "more values than the stream holds");
    } else if (count > kMaxElementsUnsized || values > kMaxPreallocUnsized) {
      Refuse(kInvalidData, "the matrix is too large to read from a stream of unknown length");
    }

    // Store and initialise, without the per-element tables: each element's
    // storage, ID and label are made when its record arrives, so that a
    // stream that declares more than it holds costs only what it held.
    if (h.hasLabel) {
      ScopedBstr label(h.label);
      vq::ThrowIfFailed(SetMatrixLabel(label.get()));
    }
    m_MatrixType = static_cast<matrixType>(h.type);
    if (allocate) {
      vq::ThrowIfFailed(Initialize2Impl(h.sizes[0], h.sizes[1], h.sizes[2], h.sizes[3], h.xSize, h.zSize, h.format,
                                        static_cast<matrixType>(h.type), ElementTables::Grown));
    } else {
      vq::ThrowIfFailed(InitializeImpl(1, h.sizes[0], h.sizes[1], h.sizes[2], h.sizes[3], ElementTables::Grown));
      m_Format = h.format;
      m_XSize = h.xSize;
      m_ZSize = h.zSize;
    }
    // Initialisation resets every axis, so the stream's come after it.
    for (LONG d = 0; d < 4; ++d) {
      ScopedBstr unit(h.unit[d]);
      vq::ThrowIfFailed(SetAxis(d, h.first[d], h.step[d], unit.get()));
    }
    m_Priority.SetPriorityType(static_cast<elementPriorityType>(h.priority));

    auto load = [pStream](IVQData* item) {
      vq::ComPtr<IVQDataPersist> persist;
      vq::ThrowIfFailed(item->QueryInterface(IID_IVQDataPersist, persist.put_void()), item, IID_IVQData);
      vq::ThrowIfFailed(persist->LoadFromStream(pStream), persist.get(), IID_IVQDataPersist);
    };
    for (uint32_t idx = 0; idx < m_SizeAll; ++idx) {
      const LONG id = in.Int32();
      std::wstring label;
      in.Text(&label);
      const uint32_t dataIdx = DataIndex(idx);
      // The form goes into an item of its own, which the element's storage
      // object then takes as put DataPtr would have it: nothing is allocated
      // for an element before its form has been read, and nothing is copied
      // into the item before its values arrive. A single-object element
      // keeps the item (its values are written to the swap file before they
      // are dropped) and its own shape: the header's is the allocation's,
      // which the copy into one item checks where it uses it
      // (docs/STREAM_FORMAT.md). A packed element folds the item's values
      // into its slot of the object's buffer when the object next recycles
      // its items, and every slot has the header's shape: values of another
      // shape would never reach the buffer.
      vq::ComPtr<IVQData> item;
      vq::ThrowIfFailed(CDataBase::CreateItem(&item));
      load(item.get());
      if (m_MatrixType == matrixMultipleObjects) {
        VQDataBuffer shape{};
        vq::ThrowIfFailed(item->GetDataBuffer(&shape), item.get(), IID_IVQData);
        if (shape.Format != h.format || shape.XSize != h.xSize || shape.ZSize != h.zSize) {
          VQ_TRACE("CVQDataMatrix::Read", "Assert", 1,
                   "Read: element %u is %dx%d of format %d, the header's %dx%d of format %d",
                   static_cast<unsigned>(idx), shape.XSize, shape.ZSize, shape.Format, h.xSize, h.zSize, h.format);
          Refuse(kInvalidData, "an element's shape disagrees with the header");
        }
      }
      vq::ThrowIfFailed(GrowElementTables(idx));
      HRESULT hr = E_FAIL;
      {
        vq::CritSecLock lock(m_DataLock);
        if (CDataBase* storage = Storage(dataIdx)) hr = storage->ReplaceData(SubIndex(idx), item.get());
      }
      if (hr != S_OK) {
        hr = FAILED(hr) ? hr : E_FAIL;
        LONG d1, d2, d3, d4;
        PositionOf(idx, &d1, &d2, &d3, &d4);
        ElementFailure(hr, "stored", d1, d2, d3, d4);
        _com_issue_error(hr);
      }
      m_Priority.PushPriority(dataIdx);
      PointInfo& point = PointForWriting(idx);
      point.ID = id;
      point.Label = std::move(label);
      // The tag vectors travel with element 0; the matrix keeps copies, so
      // that element 0's item stays the element's alone.
      if (idx == 0) vq::ThrowIfFailed(PutTagVectorsCopy(item.get()));
      item = nullptr;  // the storage object's alone now, so it can be swapped
      CheckMemoryNow();
    }
    VQ_TRACE("CVQDataMatrix::Read", "DataMatrix", 2, "Leaving Read");
    return S_OK;
  });
}
