// VQDataMatrixLib.h - the public interface of the VQDataMatrix component.
//
// A VQDataMatrix object is a matrix of four dimensions (d1..d4, d1 varying
// fastest) whose elements are VQData data items (spectra, time records). It
// is reached through one dual interface, IVQDataMatrix: a custom vtable
// interface that also derives from IDispatch, so that automation clients can
// call it by name. This header plays the part of the one a type library
// compiler produces: the enumerations, the interface in vtable order, and the
// identifiers of the class, the interface and the type library
// VQDATAMATRIXLIBLib (version 1.0). The identifiers are fixed for good.
//
// Threading: objects live in the single-threaded apartment of the thread that
// created them; call them from that thread. Each initialised matrix runs one
// worker thread of its own that swaps storage to a temporary file when memory
// runs low.
//
// Conventions shared by every operation: each returns an HRESULT; out values
// are meaningful only on success; BSTR inputs stay the caller's, BSTR outputs
// are new and belong to the caller; interface pointers given out carry one
// reference that belongs to the caller; positions count from 0.
#pragma once

#include "VQData.h"
#include "VQPlatform.h"

// The type library and its class: {9621577E-F954-4CD0-A2EF-F8FDBE422C93} and
// {35078CFA-9E3B-4E32-B265-26792C93261E}. They are objects of the library
// (not inline constants), so that a client that names only the class still
// links the library and finds the class in the process's class table.
extern const GUID LIBID_VQDATAMATRIXLIBLib;
extern const CLSID CLSID_VQDataMatrix;

// Direction in which a slice lays the plane out in the result item.
typedef enum matrixDirectionType : LONG {
  matrixDirectionByRow = 0,
  matrixDirectionByColumn = 1
} matrixDirectionType;

// Which storage object the swapping picks first: least or most recently used.
typedef enum elementPriorityType : LONG {
  elementPriorityFifo = 0,
  elementPriorityLifo = 1
} elementPriorityType;

// Storage kind: one storage object per element, or several elements packed
// into shared buffers of at most 10 MiB.
typedef enum matrixType : LONG {
  matrixSingleObject = 0,
  matrixMultipleObjects = 1
} matrixType;

VQ_DECLARE_INTERFACE(IVQDataMatrix, IDispatch, "BCFCCD04-00C7-4A0F-9BE0-A8813CDCEF6A");
struct IVQDataMatrix : public IDispatch {
  // 1: sets the four dimension sizes (each at least 1) and creates the
  // per-element tables, the swap file and the worker thread; with
  // bDoCreateInstances not 0 also every element's data item.
  STDMETHOD(Initialize)(LONG bDoCreateInstances, LONG d1, LONG d2, LONG d3, LONG d4) = 0;
  // 2: destroys all element storage, the swap queue contents and the
  // identifier and label table.
  STDMETHOD(ReleaseAllVQData)() = 0;
  // 3: the element's data item for reading and writing, with attributes.
  STDMETHOD(get_DataPtr)(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown** pVal) = 0;
  // 3: stores a data item as the element.
  STDMETHOD(put_DataPtr)(LONG d1, LONG d2, LONG d3, LONG d4, IUnknown* newVal) = 0;
  // 4: number of dimensions: 0 before Initialize, 4 after.
  STDMETHOD(get_Dimensions)(LONG* pVal) = 0;
  // 5: size of dimension 1..4; 0 gives the number of dimensions.
  STDMETHOD(get_Size)(LONG Dimension, LONG* pVal) = 0;
  // 6: sets the axis of matrix dimension 0..3.
  STDMETHOD(InitializeAxis)(LONG Dimension, DOUBLE FirstValue, DOUBLE Step, BSTR Unit) = 0;
  // 7: reads the axis of matrix dimension 0..3; Unit is a new string.
  STDMETHOD(GetAxis)(LONG Dimension, DOUBLE* FirstValue, DOUBLE* Step, BSTR* Unit) = 0;
  // 8: gives every element a buffer of nXSize values x nZSize records.
  STDMETHOD(AllAllocate)(LONG nXSize, LONG nZSize, LONG Format) = 0;
  // 9: gives every element the same linear x-axis.
  STDMETHOD(AllInitializeAsLinear)(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) = 0;
  // 10..12: fill pData with the sums over [Xmin, Xmax] of record Z of every
  // element of a plane.
  STDMETHOD(GetD1D2Slice)(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d3, LONG d4, matrixDirectionType dir,
                          IUnknown* pData) = 0;
  STDMETHOD(GetD1D3Slice)(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d2, LONG d4, matrixDirectionType dir,
                          IUnknown* pData) = 0;
  STDMETHOD(GetD2D3Slice)(DOUBLE Xmin, DOUBLE Xmax, LONG Z, LONG d1, LONG d4, matrixDirectionType dir,
                          IUnknown* pData) = 0;
  // 13..15: fill Data with record Z of every element of a plane, one record
  // per element.
  STDMETHOD(GetD1D2SliceSpectrum)(LONG Z, LONG d3, LONG d4, matrixDirectionType dir, IUnknown* Data) = 0;
  STDMETHOD(GetD1D3SliceSpectrum)(LONG Z, LONG d2, LONG d4, matrixDirectionType dir, IUnknown* Data) = 0;
  STDMETHOD(GetD2D3SliceSpectrum)(LONG Z, LONG d1, LONG d4, matrixDirectionType dir, IUnknown* Data) = 0;
  // 16: writes the whole matrix to the stream.
  STDMETHOD(Write)(IStream* IStream) = 0;
  // 17: reads a matrix written by Write into a new matrix.
  STDMETHOD(Read)(IStream* IStream) = 0;
  // 18: numeric identifier of an element.
  STDMETHOD(get_ID)(LONG d1, LONG d2, LONG d3, LONG d4, LONG* pVal) = 0;
  STDMETHOD(put_ID)(LONG d1, LONG d2, LONG d3, LONG d4, LONG newVal) = 0;
  // 19: text label of an element.
  STDMETHOD(get_Label)(LONG d1, LONG d2, LONG d3, LONG d4, BSTR* pVal) = 0;
  STDMETHOD(put_Label)(LONG d1, LONG d2, LONG d3, LONG d4, BSTR newVal) = 0;
  // 20: DataPtr of the element with that identifier.
  STDMETHOD(get_DataPtrID)(LONG ID, IUnknown** pVal) = 0;
  STDMETHOD(put_DataPtrID)(LONG ID, IUnknown* newVal) = 0;
  // 21: position of the first element (lowest index) with that identifier.
  STDMETHOD(GetPositionFromID)(LONG ID, LONG* d1, LONG* d2, LONG* d3, LONG* d4) = 0;
  // 22: label of the whole matrix.
  STDMETHOD(get_MatrixLabel)(BSTR* pVal) = 0;
  STDMETHOD(put_MatrixLabel)(BSTR newVal) = 0;
  // 23: first element in storage order that has a data item, and where it is
  // (each coordinate pointer is optional).
  STDMETHOD(get_FirstValidDataPtr)(LONG* d1, LONG* d2, LONG* d3, LONG* d4, IUnknown** pVal) = 0;
  // 24: 1 when every storage object exists and holds data.
  STDMETHOD(get_IsAllDataValid)(LONG* pVal) = 0;
  // 25: first-in-first-out or last-in-first-out swapping.
  STDMETHOD(SetElementPriority)(elementPriorityType priority) = 0;
  // 26: the element's data item for reading (WithAttributes: 0 or not).
  STDMETHOD(get_ConstDataPtr)(LONG d1, LONG d2, LONG d3, LONG d4, LONG WithAttributes, IUnknown** pVal) = 0;
  // 27: writes every element to the swap file.
  STDMETHOD(AllSaveToDisk)() = 0;
  // 28: values firstIndex..lastIndex of an element for reading; S_FALSE when
  // the item holds more than asked for.
  STDMETHOD(get_ConstDataSubsetPtr)(LONG d1, LONG d2, LONG d3, LONG d4, LONG firstIndex, LONG lastIndex,
                                    LONG WithAttributes, IUnknown** pVal) = 0;
  // 29: gives every element of one d4 index the attributes of a data item.
  STDMETHOD(put_AttributesDataPtr)(LONG d4, IUnknown* newVal) = 0;
  // 30: Initialize followed by AllAllocate, with a choice of storage kind.
  STDMETHOD(Initialize2)(LONG d1, LONG d2, LONG d3, LONG d4, LONG nXSize, LONG nZSize, LONG Format,
                         matrixType matrixType) = 0;
  // 31: copies all elements into one data item.
  STDMETHOD(CopyContentsToSingleVqData)(IUnknown* Data) = 0;
  // 32: copies the matrix's tag vectors into a data item.
  STDMETHOD(GetTagVectorsData)(IUnknown* pVal) = 0;
  // 33: keeps the data item that carries the matrix's tag vectors.
  STDMETHOD(PutTagVectorsData)(IUnknown* pVal) = 0;
  // 34: 1 when an element with that identifier exists, else 0.
  STDMETHOD(HasData)(LONG ID, LONG* HasData) = 0;
};
inline constexpr IID IID_IVQDataMatrix = __uuidof(IVQDataMatrix);

// Smart pointer of the interface, as a type library import would declare it.
_COM_SMARTPTR_TYPEDEF(IVQDataMatrix, __uuidof(IVQDataMatrix));

// Transfers between memory and the swap files of every matrix in the
// process, counted since the library was loaded: storage objects written
// (swapped out, or saved again in place) and read back (whole or in part),
// with their bytes. For monitoring and tools; not part of the interface.
typedef struct VQSwapStatistics {
  ULONGLONG BlocksWritten;
  ULONGLONG BytesWritten;
  ULONGLONG BlocksRead;
  ULONGLONG BytesRead;
} VQSwapStatistics;
// S_OK, or E_POINTER for a null argument.
EXTERN_C HRESULT VQGetSwapStatistics(VQSwapStatistics* statistics);

// The same counts and the swap file's failures, in a structure that starts
// with its own size so that later versions can grow it. The caller sets Size
// to sizeof(VQSwapStatistics2); the call fills that many bytes at most and
// sets Size to the bytes it filled.
typedef struct VQSwapStatistics2 {
  ULONG Size;
  ULONG Reserved;  // 0
  ULONGLONG BlocksWritten;
  ULONGLONG BytesWritten;
  ULONGLONG BlocksRead;
  ULONGLONG BytesRead;
  // Saves the swap file could not complete (full or failing disk), and their
  // bytes, which stayed in memory.
  ULONGLONG FailedSaves;
  ULONGLONG BytesNotSwapped;
  // Of the failed saves, those the memory watcher made because memory was
  // low: while any happen, the process stays above its memory budget.
  ULONGLONG FailedLowMemorySaves;
  // Reads back whose bytes did not match the block's checksum; each failed
  // the access that needed it.
  ULONGLONG ChecksumFailures;
} VQSwapStatistics2;
// S_OK; E_POINTER for a null argument; E_INVALIDARG when Size is smaller
// than the first version of the structure.
EXTERN_C HRESULT VQGetSwapStatistics2(VQSwapStatistics2* statistics);

// C++ only.
namespace vq {
// The process's memory budget in bytes, off (0) by default: while set, the
// matrices of the process swap as if available memory were at most the
// budget minus the process's resident size. VQ_MEMORY_BUDGET (512M, 2G,
// 1GiB, ...) sets it at its first use; this call overrides it.
void SetMemoryBudget(uint64_t bytes);
}  // namespace vq
