// The errno mapping shared by the whole runtime (platform/ErrnoMap.cpp).
#include <errno.h>

#include <gtest/gtest.h>

#include "VQKernel.h"

namespace {

// Besides the common codes, the classes the registry store and the file
// streams build their own answers on must come out of the shared map.
TEST(ErrnoMapping, CodesMapToTheirWin32AndHResultValues) {
  struct Case {
    int error;
    DWORD win32;
  } const cases[] = {
      {ENOENT, ERROR_FILE_NOT_FOUND},
      {ENOSPC, ERROR_DISK_FULL},
      {EIO, ERROR_IO_DEVICE},
      {EEXIST, ERROR_FILE_EXISTS},
      {EBADF, ERROR_INVALID_HANDLE},
      {ENOTDIR, ERROR_PATH_NOT_FOUND},
      {EDQUOT, ERROR_DISK_FULL},
      {12345, ERROR_GEN_FAILURE},
      {EPERM, ERROR_ACCESS_DENIED},
      {EROFS, ERROR_ACCESS_DENIED},
      {EFBIG, ERROR_HANDLE_DISK_FULL},
      {EBUSY, ERROR_SHARING_VIOLATION},
      {ETXTBSY, ERROR_SHARING_VIOLATION},
      {EAGAIN, ERROR_NOT_ENOUGH_MEMORY},
      {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
      {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
      {ETIMEDOUT, ERROR_TIMEOUT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(vq::Win32ErrorFromErrno(c.error), c.win32) << "errno " << c.error;
    EXPECT_EQ(vq::HResultFromErrno(c.error), HRESULT_FROM_WIN32(c.win32)) << "errno " << c.error;
  }
  // The codes with HRESULTs of their own.
  const struct {
    int error;
    DWORD win32;
    HRESULT hr;
  } own[] = {{0, ERROR_SUCCESS, S_OK},
             {ENOMEM, ERROR_NOT_ENOUGH_MEMORY, E_OUTOFMEMORY},
             {EACCES, ERROR_ACCESS_DENIED, E_ACCESSDENIED},
             {EINVAL, ERROR_INVALID_PARAMETER, E_INVALIDARG}};
  for (const auto& c : own) {
    EXPECT_EQ(vq::Win32ErrorFromErrno(c.error), c.win32) << "errno " << c.error;
    EXPECT_EQ(vq::HResultFromErrno(c.error), c.hr) << "errno " << c.error;
  }
}

}  // namespace
