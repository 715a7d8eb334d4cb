// VQData.h - the public interface of the VQData data item component.
//
// A data item holds a buffer of values laid out as records along an x-axis
// (XSize values per record, ZSize records, record z at values z*XSize ..
// z*XSize+XSize-1), the definition of that x-axis, attributes (named VARIANT
// values in named groups, for the item as a whole and per record) and four tag
// vectors, and it can save itself to and load itself from a stream. Items are
// created with CoCreateInstance(CLSID_VQData, nullptr, CLSCTX_ALL or
// CLSCTX_INPROC_SERVER, IID_IUnknown, ...) and OleRun in any process linked
// against the VQData library; no registration step is needed.
//
// Ownership: BSTR and VARIANT inputs stay the caller's; BSTR and VARIANT
// outputs are new and belong to the caller; interface pointers given out carry
// one reference that belongs to the caller. Pointers into the value storage
// (GetDataBuffer, GetRawData, GetRecordPointer) stay valid until the next
// Allocate, AllocateLike, SetDataBuffer, SetRawData, CopyValuesFrom, FreeData,
// Clear or LoadFromStream of the same item.
//
// Threads: an item may be called from several threads (the matrix creates
// items on the client's thread and its memory watcher reads and releases them
// on another). Every operation takes the item's own lock, so that one call
// sees the item's state whole; writes through the value pointers are the
// caller's to coordinate. The axis and tag vector objects of an item have
// locks of their own, taken inside the item's lock.
//
// Vtable slots are counted from 0 with the three IUnknown slots included; the
// slot number stands before each operation and is fixed for good, as are the
// identifiers below. Every operation returns an HRESULT; on failure it sets
// error information (GetErrorInfo) that describes what went wrong, and every
// interface answers ISupportErrorInfo with S_OK. Out values are meaningful
// only on success unless said otherwise.
#pragma once

#include "VQPlatform.h"

// ---------------------------------------------------------------------------
// Identifiers.
// ---------------------------------------------------------------------------
// {6C3B1E52-8F0A-4D7B-9A61-2E54C0D7B3A9}. Defined in the library rather than
// as an inline constant, so that a program that names it needs the library
// (also when linked with --as-needed) and the library's class-table entry is
// made when the program starts.
extern const CLSID CLSID_VQData;
// ProgIDs of the class (version-independent and versioned).
#define VQDATA_PROGID "VQData.VQData"
#define VQDATA_PROGID_VERSIONED "VQData.VQData.1"

// ---------------------------------------------------------------------------
// Value formats. Values are stored little-endian in the machine's layout.
// ---------------------------------------------------------------------------
typedef enum VQDataFormat {
  dataFormatInt32 = 0,      // LONG, 4 bytes
  dataFormatFloat64 = 1,    // DOUBLE, 8 bytes
  dataFormatComplex128 = 2, // two DOUBLEs (real, imaginary), 16 bytes
  dataFormatInt16 = 3,      // SHORT, 2 bytes
  dataFormatInt64 = 4,      // LONGLONG, 8 bytes
  dataFormatFloat32 = 5,    // FLOAT, 4 bytes
  dataFormatComplex64 = 6   // two FLOATs (real, imaginary), 8 bytes
} VQDataFormat;

typedef struct VQComplexDouble {
  DOUBLE re;
  DOUBLE im;
} VQComplexDouble;

typedef struct VQComplexFloat {
  FLOAT re;
  FLOAT im;
} VQComplexFloat;

// Bytes per value of a format code: 0 and 5: 4; 1, 4 and 6: 8; 2: 16; 3: 2;
// any other code 0.
inline constexpr LONG VQDataBytesPerValue(LONG format) {
  switch (format) {
    case dataFormatInt32:
    case dataFormatFloat32:
      return 4;
    case dataFormatFloat64:
    case dataFormatInt64:
    case dataFormatComplex64:
      return 8;
    case dataFormatComplex128:
      return 16;
    case dataFormatInt16:
      return 2;
    default:
      return 0;
  }
}

// Describes a value buffer: Format, XSize (values per record), ZSize (records),
// then one pointer per format that has one; only the pointer of Format is
// set, the others are null. Formats 3 (Int16) and 4 (Int64) have no pointer
// field: their values are reached with IVQData::GetRawData / SetRawData. The
// buffer holds VQDataBytesPerValue(Format) * XSize * ZSize bytes.
typedef struct VQDataBuffer {
  LONG Format;
  LONG XSize;
  LONG ZSize;
  LONG* pLong;                     // format 0
  DOUBLE* pDouble;                 // format 1
  VQComplexDouble* pComplexDouble; // format 2
  FLOAT* pFloat;                   // format 5
  VQComplexFloat* pComplexFloat;   // format 6
} VQDataBuffer;

// Value buffers of at least this many bytes are mapped straight from the
// system (freeing them returns the memory) and start on a page boundary of
// VQDATA_DIRECT_ALIGNMENT bytes, with a capacity rounded up to a multiple of
// it, so that they can be transferred with unbuffered file I/O. Smaller
// buffers come from the heap, aligned to 64 bytes.
#define VQDATA_SYSTEM_BUFFER_THRESHOLD 65536u
#define VQDATA_DIRECT_ALIGNMENT 4096u

// Axis kinds (IVQAxis::GetKind).
typedef enum VQAxisKind {
  axisKindLinear = 0,      // value i = FirstValue + i * Delta
  axisKindLogarithmic = 1, // value i = FirstValue * Delta^i
  axisKindBands = 2,       // fractional-octave bands FirstBand .. FirstBand+Size-1
  axisKindValues = 3       // explicit values, strictly increasing
} VQAxisKind;

struct IVQAttribute;
struct IVQAttributeGroup;
struct IVQAttributeGroups;
struct IVQIndexedAttributes;
struct IVQAxis;
struct IVQTagVector;
struct IVQData;
struct IStream;

// ---------------------------------------------------------------------------
// IVQAttribute: one named value of a group. A live view: it keeps reading
// and writing the attribute it was handed out for, even after the attribute
// was removed from its group.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQAttribute, IUnknown, "A4D1F6C2-5B3E-4F8A-9C07-61E2B8D4A5F3");
struct IVQAttribute : public IUnknown {
  // 3: replaces the value (types as for IVQData::AddAttribute).
  STDMETHOD(SetValue)(VARIANT Value) = 0;
  // 4: the VARTYPE of the value.
  STDMETHOD(GetValueType)(VARTYPE* pType) = 0;
  // 5: the value converted to text (VariantChangeType to VT_BSTR).
  STDMETHOD(GetValueAsString)(BSTR* pText) = 0;
  // 6: the value converted to a double; DISP_E_TYPEMISMATCH when it has none.
  STDMETHOD(GetValueAsDouble)(DOUBLE* pValue) = 0;
  // 7: a copy of the value.
  STDMETHOD(GetValue)(VARIANT* pValue) = 0;
  // 8: renames the attribute.
  STDMETHOD(SetName)(BSTR Name) = 0;
  // 9: the attribute's name.
  STDMETHOD(GetName)(BSTR* pName) = 0;
};

// ---------------------------------------------------------------------------
// IVQAttributeGroup: an ordered list of attributes with a name and a second
// name. Indices are 1-based VARIANTs (any integer type); a VT_BSTR index names
// the attribute. A live view of the group it was handed out for.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQAttributeGroup, IUnknown, "5E8B2C71-0A4F-4D93-B6E5-9F13C2A7D804");
struct IVQAttributeGroup : public IUnknown {
  // 3: adds an attribute at the end, or replaces the value of the attribute
  // of that name in place.
  STDMETHOD(AddAttribute)(BSTR Name, VARIANT Value) = 0;
  // 4: removes the attribute at Index.
  STDMETHOD(RemoveAttribute)(VARIANT Index) = 0;
  // 5: removes every attribute.
  STDMETHOD(Clear)() = 0;
  // 6: the 1-based position of the attribute named Name; S_FALSE and 0 when
  // there is none.
  STDMETHOD(GetIndexOf)(BSTR Name, LONG* pIndex) = 0;
  // 7: a copy of the value of the attribute at Index.
  STDMETHOD(GetValue)(VARIANT Index, VARIANT* pValue) = 0;
  // 8: the attribute at Index.
  STDMETHOD(GetItem)(VARIANT Index, IVQAttribute** ppAttribute) = 0;
  // 9: the number of attributes.
  STDMETHOD(GetCount)(LONG* pCount) = 0;
  // 10: replaces the value of the attribute at Index.
  STDMETHOD(SetValue)(VARIANT Index, VARIANT Value) = 0;
  // 11: the name of the attribute at 1-based position Index.
  STDMETHOD(GetAttributeName)(LONG Index, BSTR* pName) = 0;
  // 12: adds (or replaces) every attribute of this group in Target, in order.
  STDMETHOD(CopyTo)(IVQAttributeGroup* Target) = 0;
  // 13: renames the group.
  STDMETHOD(SetName)(BSTR Name) = 0;
  // 14: the group's name.
  STDMETHOD(GetName)(BSTR* pName) = 0;
  // 15: sets the group's second name.
  STDMETHOD(SetSecondName)(BSTR SecondName) = 0;
  // 16: the group's second name.
  STDMETHOD(GetSecondName)(BSTR* pSecondName) = 0;
};

// ---------------------------------------------------------------------------
// IVQAttributeGroups: the ordered group list of the item (non-indexed
// attributes) or of one record (indexed attributes). Indices are 1-based
// VARIANTs; a VT_BSTR index names the first group of that name. A live view.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQAttributeGroups, IUnknown, "C93E7A15-2D6B-4E08-8F4A-B51D0E6C3972");
struct IVQAttributeGroups : public IUnknown {
  // 3: the group with this name and second name, created at the end when
  // there is none.
  STDMETHOD(Add)(BSTR Name, BSTR SecondName, IVQAttributeGroup** ppGroup) = 0;
  // 4: removes the group at Index.
  STDMETHOD(Remove)(VARIANT Index) = 0;
  // 5: removes every group.
  STDMETHOD(Clear)() = 0;
  // 6: the group with this name and second name; S_FALSE and null when there
  // is none.
  STDMETHOD(Find)(BSTR Name, BSTR SecondName, IVQAttributeGroup** ppGroup) = 0;
  // 7: the number of attributes in all groups together.
  STDMETHOD(GetAttributeCount)(LONG* pCount) = 0;
  // 8: the group at Index.
  STDMETHOD(GetItem)(VARIANT Index, IVQAttributeGroup** ppGroup) = 0;
  // 9: the number of groups.
  STDMETHOD(GetCount)(LONG* pCount) = 0;
};

// ---------------------------------------------------------------------------
// IVQIndexedAttributes: the per-record group lists of dimension 1 (records,
// counted from 1). Records hold attributes sparsely; GetItem answers every
// record number from 1 up, with an empty list for a record without any.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQIndexedAttributes, IUnknown, "1F7C4A98-E3B2-4C56-A0D9-7B6E85F21C43");
struct IVQIndexedAttributes : public IUnknown {
  // 3: removes the indexed attributes of every record.
  STDMETHOD(Clear)() = 0;
  // 4: removes the indexed attributes of one record.
  STDMETHOD(RemoveRecord)(LONG Record) = 0;
  // 5: the number of records that hold at least one group.
  STDMETHOD(GetRecordCount)(LONG* pCount) = 0;
  // 6: the first record above After that holds a group; S_FALSE and 0 when
  // there is none (walk with After = 0 first).
  STDMETHOD(GetNextRecord)(LONG After, LONG* pRecord) = 0;
  // 7: the dimension the records run along (always 1).
  STDMETHOD(GetDimension)(LONG* pDimension) = 0;
  // 8: the group list of record Index (an integer VARIANT, from 1).
  STDMETHOD(GetItem)(VARIANT Index, IVQAttributeGroups** ppGroups) = 0;
  // 9: the highest record number that holds a group, 0 when none does.
  STDMETHOD(GetCount)(LONG* pCount) = 0;
};

// ---------------------------------------------------------------------------
// IVQTagVector: an ordered list of double values. Positions count from 0.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQTagVector, IUnknown, "8B05D3E6-7C19-4A2F-B4E8-D06A9F153C27");
struct IVQTagVector : public IUnknown {
  // 3: removes every value.
  STDMETHOD(Clear)() = 0;
  // 4: appends a value.
  STDMETHOD(Add)(DOUBLE Value) = 0;
  // 5: the value at Position.
  STDMETHOD(GetValue)(LONG Position, DOUBLE* pValue) = 0;
  // 6: replaces the value at Position.
  STDMETHOD(SetValue)(LONG Position, DOUBLE Value) = 0;
  // 7: replaces the contents with Count values (pValues may be null when
  // Count is 0).
  STDMETHOD(SetValues)(LONG Count, const DOUBLE* pValues) = 0;
  // 8: copies Count values from Start into pValues.
  STDMETHOD(GetValues)(LONG Start, LONG Count, DOUBLE* pValues) = 0;
  // 9: the number of values.
  STDMETHOD(GetCount)(LONG* pCount) = 0;
  // 10: inserts a value before Position (Position = count appends).
  STDMETHOD(Insert)(LONG Position, DOUBLE Value) = 0;
  // 11: removes the value at Position.
  STDMETHOD(Remove)(LONG Position) = 0;
  // 12: replaces Target's contents with this vector's values.
  STDMETHOD(CopyTo)(IVQTagVector* Target) = 0;
  // 13: the vector's number in its item (0..3).
  STDMETHOD(GetIndex)(LONG* pIndex) = 0;
};

// ---------------------------------------------------------------------------
// IVQAxis: the x-axis of an item. A fresh item's axis is linear (first value
// 0, delta 1, empty unit) and follows the item's XSize until it is
// initialised; after that its size is the client's. Sizes are at least 0;
// values and deltas must be finite.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQAxis, IUnknown, "E27A9F40-6B1D-4C85-93F2-A8C5D1073E6B");
struct IVQAxis : public IUnknown {
  // 3: kind 0, value i = FirstValue + i * Delta.
  STDMETHOD(InitializeAsLinear)(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) = 0;
  // 4: kind 1, value i = FirstValue * Delta^i (FirstValue and Delta above 0).
  STDMETHOD(InitializeAsKind1)(LONG Size, DOUBLE FirstValue, DOUBLE Delta, BSTR Unit) = 0;
  // 5: kind 2, bands FirstBand .. FirstBand + Size - 1 of the 1/Fraction
  // octave series (Fraction 1, 3, 12 or 24); band n is centred on
  // 10^(0.3 * n / Fraction).
  STDMETHOD(InitializeAsBands)(LONG Size, LONG FirstBand, LONG Fraction, BSTR Unit) = 0;
  // 6: kind 3, Size explicit values, finite and strictly increasing.
  STDMETHOD(InitializeWithValues)(LONG Size, const DOUBLE* pValues, BSTR Unit) = 0;
  // 7: takes over the definition of Source (any implementation).
  STDMETHOD(CopyFrom)(IVQAxis* Source) = 0;
  // 8: the kind (VQAxisKind).
  STDMETHOD(GetKind)(LONG* pKind) = 0;
  // 9: the number of axis points.
  STDMETHOD(GetSize)(LONG* pSize) = 0;
  // 10: the unit text.
  STDMETHOD(GetUnit)(BSTR* pUnit) = 0;
  // 11: the value of point 0 (kinds 0, 1, 3; the centre of the first band
  // for kind 2).
  STDMETHOD(GetFirstValue)(DOUBLE* pFirstValue) = 0;
  // 12: the delta of kinds 0 and 1; 0 for kinds 2 and 3.
  STDMETHOD(GetDelta)(DOUBLE* pDelta) = 0;
  // 13: the band number of point 0 (kind 2; 0 otherwise).
  STDMETHOD(GetFirstBand)(LONG* pFirstBand) = 0;
  // 14: the octave fraction (kind 2; 0 otherwise).
  STDMETHOD(GetFraction)(LONG* pFraction) = 0;
  // 15: the value of point Index (0-based; band centre for kind 2).
  STDMETHOD(GetValue)(LONG Index, DOUBLE* pValue) = 0;
  // 16: the values of points 0 .. Count - 1 (Count at most the size).
  STDMETHOD(GetValues)(LONG Count, DOUBLE* pValues) = 0;
  // 17: replaces the unit text.
  STDMETHOD(SetUnit)(BSTR Unit) = 0;
  // 18: the value of the last point; E_FAIL for an empty axis.
  STDMETHOD(GetLastValue)(DOUBLE* pValue) = 0;
  // 19: VARIANT_TRUE when Other has the same kind, size, parameters, values
  // and unit.
  STDMETHOD(IsEqual)(IVQAxis* Other, VARIANT_BOOL* pEqual) = 0;
  // 20: the index of the axis point nearest to Value (a value halfway between
  // two points gives the upper one; kind 2: the band that contains Value);
  // values beyond either end give 0 or Size - 1. E_FAIL for an empty axis,
  // E_INVALIDARG for a NaN.
  STDMETHOD(GetIndexOfValue)(DOUBLE Value, LONG* pIndex) = 0;
};

// ---------------------------------------------------------------------------
// IVQDataCore: the operations that IVQData and IVQDataTagVectors share
// (slots 3 to 25), so that a client holding either can read the item.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQDataCore, IUnknown, "0D6E3B87-4A21-4F9C-8E5B-C7F2931A60D4");
struct IVQDataCore : public IUnknown {
  // 3: returns the item to its fresh state: no values, format 1, default
  // axis, no attributes, empty tag vectors, empty name and description.
  STDMETHOD(Clear)() = 0;
  // 4: the non-indexed attribute groups.
  STDMETHOD(GetAttributes)(IVQAttributeGroups** ppGroups) = 0;
  // 5: the indexed attributes of Dimension (only 1, the records).
  STDMETHOD(GetIndexedAttributes)(LONG Dimension, IVQIndexedAttributes** ppIndexed) = 0;
  // 6: removes every non-indexed attribute group.
  STDMETHOD(ClearAttributes)() = 0;
  // 7: Dimension 0: values per record (XSize); 1: records (ZSize).
  STDMETHOD(GetSize)(LONG Dimension, LONG* pSize) = 0;
  // 8: the item's axis object (a new reference; it stays the item's axis).
  STDMETHOD(GetAxis)(IVQAxis** ppAxis) = 0;
  // 9: a zero-filled buffer of nXSize * nZSize values of Format (0..6).
  // E_INVALIDARG for a negative size, an unknown format or a byte count that
  // does not fit the address space; E_OUTOFMEMORY when memory runs out. The
  // values are unchanged on failure.
  STDMETHOD(Allocate)(LONG nXSize, LONG nZSize, LONG Format) = 0;
  // 10: the byte count of the values.
  STDMETHOD(GetByteSize)(ULONGLONG* pBytes) = 0;
  // 11: copies the shape, format and values that Buffer describes (formats
  // 0, 1, 2, 5, 6; E_POINTER when the format's pointer is null and values
  // are due). Buffer may describe this item's own storage.
  STDMETHOD(SetDataBuffer)(VQDataBuffer Buffer) = 0;
  // 12: value (x, z) as real and imaginary part (pImaginary may be null; it
  // receives 0 for real formats).
  STDMETHOD(GetValue)(LONG X, LONG Z, DOUBLE* pReal, DOUBLE* pImaginary) = 0;
  // 13: sets value (x, z); integer formats take the real part rounded to the
  // nearest integer (DISP_E_OVERFLOW when it does not fit).
  STDMETHOD(SetValue)(LONG X, LONG Z, DOUBLE Real, DOUBLE Imaginary) = 0;
  // 14: the item's own storage, any format, and its byte count (null and 0
  // without values).
  STDMETHOD(GetRawData)(void** ppValues, ULONGLONG* pBytes) = 0;
  // 15: copies cbValues bytes as nXSize * nZSize values of Format; cbValues
  // must be exactly that byte count.
  STDMETHOD(SetRawData)(LONG nXSize, LONG nZSize, LONG Format, const void* pValues,
                        ULONGLONG cbValues) = 0;
  // 16: sets every value to zero.
  STDMETHOD(ZeroValues)() = 0;
  // 17: a new item with copies of everything this one holds.
  STDMETHOD(Clone)(IVQData** ppCopy) = 0;
  // 18: takes over the definition of Source into this item's axis.
  STDMETHOD(SetAxis)(IVQAxis* Source) = 0;
  // 19: bytes per value of the current format.
  STDMETHOD(GetBytesPerValue)(LONG* pBytes) = 0;
  // 20: sets the item's name (saved with it).
  STDMETHOD(SetName)(BSTR Name) = 0;
  // 21: the item's name.
  STDMETHOD(GetName)(BSTR* pName) = 0;
  // 22: sets the item's description (saved with it).
  STDMETHOD(SetDescription)(BSTR Description) = 0;
  // 23: the value format code.
  STDMETHOD(GetFormat)(LONG* pFormat) = 0;
  // 24: the item's description.
  STDMETHOD(GetDescription)(BSTR* pDescription) = 0;
  // 25: copies shape, format and values of Source (an item offering
  // IVQDataCore, in any format).
  STDMETHOD(CopyValuesFrom)(IUnknown* Source) = 0;
};

// ---------------------------------------------------------------------------
// IVQData: the data item.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQData, IVQDataCore, "7A2F05C9-3E8D-4B16-A5C4-0B9E62D87F31");
struct IVQData : public IVQDataCore {
  // 26: tag vector Index (0..3).
  STDMETHOD(GetTagVector)(LONG Index, IVQTagVector** ppVector) = 0;
  // 27: empties all four tag vectors.
  STDMETHOD(ClearTagVectors)() = 0;
  // 28: copies Count values of record Z, converted to double (real parts).
  STDMETHOD(GetRecordValues)(LONG Z, LONG Count, DOUBLE* pValues) = 0;
  // 29: sets the first Count values of record Z from doubles (conversion as
  // SetValue; nothing is written when one value does not fit).
  STDMETHOD(SetRecordValues)(LONG Z, LONG Count, const DOUBLE* pValues) = 0;
  // 30: a copy of the value of attribute Name in the first group named Group;
  // TYPE_E_ELEMENTNOTFOUND when there is none.
  STDMETHOD(GetAttributeValue)(BSTR Group, BSTR Name, VARIANT* pValue) = 0;
  // 31: the same for the indexed attributes of Record.
  STDMETHOD(GetIndexedAttributeValue)(LONG Dimension, LONG Record, BSTR Group, BSTR Name,
                                      VARIANT* pValue) = 0;
  // 32: removes attribute Name from every group named Group; S_FALSE when
  // there was none.
  STDMETHOD(RemoveAttribute)(BSTR Group, BSTR Name) = 0;
  // 33: removes the indexed attributes of Record.
  STDMETHOD(RemoveIndexedAttributes)(LONG Dimension, LONG Record) = 0;
  // 34: the smallest and largest value (real parts, NaNs skipped); E_FAIL
  // when there is no value.
  STDMETHOD(GetMinMax)(DOUBLE* pMin, DOUBLE* pMax) = 0;
  // 35: sets every value to Value (conversion as SetValue).
  STDMETHOD(SetAllValues)(DOUBLE Value) = 0;
  // 36: the number of values (XSize * ZSize).
  STDMETHOD(GetValueCount)(ULONGLONG* pCount) = 0;
  // 37: adds every attribute, non-indexed and indexed, to Target (any item
  // offering IVQData) through its AddAttribute / AddIndexedAttribute.
  STDMETHOD(CopyAttributesTo)(IUnknown* Target) = 0;
  // 38: gives the values another shape of the same value count.
  STDMETHOD(Reshape)(LONG nXSize, LONG nZSize) = 0;
  // 39: adds attribute Name with Value to the group (Group, SecondName),
  // created at the end when there is none; an attribute of that name in the
  // group gets the new value in place. Value types: VT_EMPTY, VT_NULL,
  // VT_I1/2/4/8, VT_UI1/2/4/8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_DATE,
  // VT_BSTR, VT_BOOL, VT_ERROR (VT_BYREF to these is dereferenced);
  // others give DISP_E_BADVARTYPE.
  STDMETHOD(AddAttribute)(BSTR Group, BSTR Name, BSTR SecondName, VARIANT Value) = 0;
  // 40: the non-indexed group (Group, SecondName), created when absent.
  STDMETHOD(AddAttributeGroup)(BSTR Group, BSTR SecondName, IVQAttributeGroup** ppGroup) = 0;
  // 41: AddAttribute for record Record (from 1) of Dimension (only 1).
  STDMETHOD(AddIndexedAttribute)(LONG Dimension, LONG Record, BSTR Group, BSTR Name,
                                 BSTR SecondName, VARIANT Value) = 0;
  // 42: the group (Group, SecondName) of record Record, created when absent.
  STDMETHOD(AddIndexedAttributeGroup)(LONG Dimension, LONG Record, BSTR Group, BSTR SecondName,
                                      IVQAttributeGroup** ppGroup) = 0;
  // 43: removes the indexed attributes of every record.
  STDMETHOD(ClearIndexedAttributes)() = 0;
  // 44: describes the item's own storage (not a copy); see VQDataBuffer.
  STDMETHOD(GetDataBuffer)(VQDataBuffer* pBuffer) = 0;
  // 45: Allocate with the shape and format of Source (an item offering
  // IVQDataCore).
  STDMETHOD(AllocateLike)(IUnknown* Source) = 0;
  // 46: a pointer to the first value of record Z.
  STDMETHOD(GetRecordPointer)(LONG Z, void** ppValues) = 0;
  // 47: VARIANT_TRUE when the item holds values.
  STDMETHOD(IsAllocated)(VARIANT_BOOL* pAllocated) = 0;
  // 48: drops the values (sizes become 0, the format stays); attributes,
  // axis and tag vectors stay.
  STDMETHOD(FreeData)() = 0;
};

// ---------------------------------------------------------------------------
// IVQDataTagVectors: the item's tag vectors, by QueryInterface on an item.
// Slots 3 to 25 are those of IVQDataCore.
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQDataTagVectors, IVQDataCore, "3C8E61F4-B7A0-4D25-9E13-5FA4C08B2D76");
struct IVQDataTagVectors : public IVQDataCore {
  // 26: the number of tag vectors (4).
  STDMETHOD(GetTagVectorCount)(LONG* pCount) = 0;
  // 27: VARIANT_TRUE when at least one tag vector holds a value.
  STDMETHOD(HasTagVectors)(VARIANT_BOOL* pHas) = 0;
  // 28: empties all four tag vectors.
  STDMETHOD(ClearAllTagVectors)() = 0;
  // 29: copies each non-empty tag vector into the one of the same number of
  // Target (an item offering IVQDataTagVectors).
  STDMETHOD(CopyTagVectorsTo)(IUnknown* Target) = 0;
  // 30: tag vector Index (0..3).
  STDMETHOD(GetTagVector)(LONG Index, IVQTagVector** ppVector) = 0;
};

// ---------------------------------------------------------------------------
// IVQDataPersist: the item's own stream form (docs/VQDATA_FORMAT.md).
// ---------------------------------------------------------------------------
VQ_DECLARE_INTERFACE(IVQDataPersist, IUnknown, "F5B9C03A-2E76-4D18-8B4F-9D0E71A6C582");
struct IVQDataPersist : public IUnknown {
  // 3: writes the whole item at the stream's position; the stream is left
  // just behind it. STG_E_MEDIUMFULL when the stream takes fewer bytes.
  STDMETHOD(SaveToStream)(IStream* pStream) = 0;
  // 4: reads exactly one saved item and replaces this item's contents with
  // it; the stream is left just behind it. On failure the item is unchanged
  // and the stream is put back where the form began when it can seek.
  STDMETHOD(LoadFromStream)(IStream* pStream) = 0;
  // 5: the number of bytes SaveToStream would write now.
  STDMETHOD(GetSaveSize)(ULONGLONG* pBytes) = 0;
};

inline constexpr IID IID_IVQAttribute = __uuidof(IVQAttribute);
inline constexpr IID IID_IVQAttributeGroup = __uuidof(IVQAttributeGroup);
inline constexpr IID IID_IVQAttributeGroups = __uuidof(IVQAttributeGroups);
inline constexpr IID IID_IVQIndexedAttributes = __uuidof(IVQIndexedAttributes);
inline constexpr IID IID_IVQTagVector = __uuidof(IVQTagVector);
inline constexpr IID IID_IVQAxis = __uuidof(IVQAxis);
inline constexpr IID IID_IVQDataCore = __uuidof(IVQDataCore);
inline constexpr IID IID_IVQData = __uuidof(IVQData);
inline constexpr IID IID_IVQDataTagVectors = __uuidof(IVQDataTagVectors);
inline constexpr IID IID_IVQDataPersist = __uuidof(IVQDataPersist);

// Smart pointers of the interfaces, as a type library import would declare them.
_COM_SMARTPTR_TYPEDEF(IVQData, __uuidof(IVQData));
_COM_SMARTPTR_TYPEDEF(IVQDataCore, __uuidof(IVQDataCore));
_COM_SMARTPTR_TYPEDEF(IVQAxis, __uuidof(IVQAxis));
_COM_SMARTPTR_TYPEDEF(IVQAttribute, __uuidof(IVQAttribute));
_COM_SMARTPTR_TYPEDEF(IVQAttributeGroup, __uuidof(IVQAttributeGroup));
_COM_SMARTPTR_TYPEDEF(IVQAttributeGroups, __uuidof(IVQAttributeGroups));
_COM_SMARTPTR_TYPEDEF(IVQIndexedAttributes, __uuidof(IVQIndexedAttributes));
_COM_SMARTPTR_TYPEDEF(IVQTagVector, __uuidof(IVQTagVector));
_COM_SMARTPTR_TYPEDEF(IVQDataTagVectors, __uuidof(IVQDataTagVectors));
_COM_SMARTPTR_TYPEDEF(IVQDataPersist, __uuidof(IVQDataPersist));
