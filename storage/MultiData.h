// MultiData.h - packed storage of several elements in one buffer.
//
// CMultiData holds the values of several consecutive elements of one d4
// index back to back in one buffer of at most 10 MiB; clients see a separate
// data item per element (a pool item), filled from the buffer and folded
// back into it when a writable item is let go.
#pragma once

#include <memory>

#include "storage/DataBase.h"

// Creates an empty multi-object storage object; null when memory runs out.
std::unique_ptr<CDataBase> CreateMultiData(CFileCache* fileCache, CAxisManager* axisManager,
                                           CAttributeManager* attributeManager);
