// The identifiers of the type library and the class, defined once here.
#include "VQDataMatrixLib.h"

const GUID LIBID_VQDATAMATRIXLIBLib = vq::ParseGuid("9621577E-F954-4CD0-A2EF-F8FDBE422C93");
const CLSID CLSID_VQDataMatrix = vq::ParseGuid("35078CFA-9E3B-4E32-B265-26792C93261E");
