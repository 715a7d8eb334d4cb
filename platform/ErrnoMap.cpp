// The one mapping from errno values to Win32 error codes and HRESULTs
// (declared in VQKernel.h). Every part of the runtime that turns an errno
// value into a failure code starts here; a caller whose Windows counterpart
// answers differently in a case of its own (the registry store, file streams)
// keeps that case beside its call, on top of this mapping.
#include <cerrno>

#include "VQKernel.h"

namespace vq {

DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EIO: return ERROR_IO_DEVICE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EFAULT: return ERROR_INVALID_ADDRESS;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EFBIG: return ERROR_HANDLE_DISK_FULL;
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;  // a resource ran out
    default: return ERROR_GEN_FAILURE;
  }
}

HRESULT HResultFromErrno(int error) {
  if (error == ENOMEM) return E_OUTOFMEMORY;
  return HRESULT_FROM_WIN32(Win32ErrorFromErrno(error));
}

}  // namespace vq
