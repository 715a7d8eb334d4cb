// The errno mapping shared by the whole runtime (platform/ErrnoMap.cpp).
#include <errno.h>

#include <gtest/gtest.h>

#include "VQKernel.h"

namespace {

TEST(ErrnoMapping, CommonCodesMapToTheirWin32AndHResultValues) {
  struct Case {
    int error;
    DWORD win32;
  } const cases[] = {
      {0, ERROR_SUCCESS},           {ENOENT, ERROR_FILE_NOT_FOUND},     {ENOSPC, ERROR_DISK_FULL},
      {EACCES, ERROR_ACCESS_DENIED}, {ENOMEM, ERROR_NOT_ENOUGH_MEMORY}, {EINVAL, ERROR_INVALID_PARAMETER},
      {EIO, ERROR_IO_DEVICE},       {EEXIST, ERROR_FILE_EXISTS},        {EBADF, ERROR_INVALID_HANDLE},
      {ENOTDIR, ERROR_PATH_NOT_FOUND}, {EDQUOT, ERROR_DISK_FULL},       {12345, ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vq::Win32ErrorFromErrno(c.error), c.win32) << "errno " << c.error;
    if (c.error == 0) {
      EXPECT_EQ(vq::HResultFromErrno(c.error), S_OK);
    } else if (c.error == ENOMEM) {
      EXPECT_EQ(vq::HResultFromErrno(c.error), E_OUTOFMEMORY);
    } else {
      EXPECT_EQ(vq::HResultFromErrno(c.error), HRESULT_FROM_WIN32(c.win32)) << "errno " << c.error;
      EXPECT_TRUE(FAILED(vq::HResultFromErrno(c.error)));
    }
  }
  EXPECT_EQ(vq::HResultFromErrno(EACCES), E_ACCESSDENIED);
  EXPECT_EQ(vq::HResultFromErrno(EINVAL), E_INVALIDARG);
}

// What the registry store and file streams build their own answers on: the
// codes they pass through or classify by must come out of the shared map.
TEST(ErrnoMapping, ClassesTheCallersRelyOnStayTogether) {
  struct Case {
    int error;
    DWORD win32;
  } const cases[] = {
      {EPERM, ERROR_ACCESS_DENIED},  {EROFS, ERROR_ACCESS_DENIED},    // "access denied" for the store
      {EFBIG, ERROR_HANDLE_DISK_FULL},                                // STG_E_MEDIUMFULL for streams
      {EBUSY, ERROR_SHARING_VIOLATION}, {ETXTBSY, ERROR_SHARING_VIOLATION},
      {EAGAIN, ERROR_NOT_ENOUGH_MEMORY},                              // a resource ran out
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE}, {ETIMEDOUT, ERROR_TIMEOUT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vq::Win32ErrorFromErrno(c.error), c.win32) << "errno " << c.error;
    EXPECT_EQ(vq::HResultFromErrno(c.error), HRESULT_FROM_WIN32(c.win32)) << "errno " << c.error;
  }
}

}  // namespace
