// FormatMessageA and the system message table.
//
// The table holds the standard English texts of the result codes that this
// system can produce, each ending in "\r\n" as the system texts do. Codes not
// in the table have no message (ERROR_MR_MID_NOT_FOUND), so that callers fall
// back to their own texts.
#include <cstring>

#include "VQKernel.h"

namespace {

struct MessageText {
  uint32_t code;
  const char* text;
};

// Win32 error codes. HRESULTs of FACILITY_WIN32 use these too.
constexpr MessageText kWin32Messages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device.\r\n"},
    {ERROR_READ_FAULT, "The system cannot read from the specified device.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_HANDLE_EOF, "Reached the end of the file.\r\n"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_NEGATIVE_SEEK,
     "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {ERROR_BAD_PATHNAME, "The specified path is invalid.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_INVALID_ADDRESS, "Attempt to access invalid address.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_BADKEY, "The configuration registry key is invalid.\r\n"},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened.\r\n"},
    {ERROR_CANTREAD, "The configuration registry key could not be read.\r\n"},
    {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_ALREADY_INITIALIZED,
     "An attempt was made to perform an initialization operation when initialization has already been "
     "completed.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
};

// HRESULTs of the other facilities.
constexpr MessageText kHResultMessages[] = {
    {0x8000FFFFu /*E_UNEXPECTED*/, "Catastrophic failure\r\n"},
    {0x80004001u /*E_NOTIMPL*/, "Not implemented\r\n"},
    {0x80004002u /*E_NOINTERFACE*/, "No such interface supported\r\n"},
    {0x80004003u /*E_POINTER*/, "Invalid pointer\r\n"},
    {0x80004004u /*E_ABORT*/, "Operation aborted\r\n"},
    {0x80004005u /*E_FAIL*/, "Unspecified error\r\n"},
    {0x8000000Au /*E_PENDING*/, "The data necessary to complete this operation is not yet available.\r\n"},
    {0x8000000Bu /*E_BOUNDS*/, "The operation attempted to access data outside the valid range\r\n"},
    {0x80040110u /*CLASS_E_NOAGGREGATION*/, "Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040111u /*CLASS_E_CLASSNOTAVAILABLE*/, "ClassFactory cannot supply requested class\r\n"},
    {0x80040150u /*REGDB_E_READREGDB*/, "Could not read key from registry\r\n"},
    {0x80040151u /*REGDB_E_WRITEREGDB*/, "Could not write key to registry\r\n"},
    {0x80040152u /*REGDB_E_KEYMISSING*/, "Could not find the key in the registry\r\n"},
    {0x80040153u /*REGDB_E_INVALIDVALUE*/, "Invalid value for registry\r\n"},
    {0x80040154u /*REGDB_E_CLASSNOTREG*/, "Class not registered\r\n"},
    {0x80040155u /*REGDB_E_IIDNOTREG*/, "Interface not registered\r\n"},
    {0x800401F0u /*CO_E_NOTINITIALIZED*/, "CoInitialize has not been called.\r\n"},
    {0x800401F3u /*CO_E_CLASSSTRING*/, "Invalid class string\r\n"},
    {0x800401F5u /*CO_E_APPNOTFOUND*/, "Application not found\r\n"},
    {0x800401F8u /*CO_E_DLLNOTFOUND*/, "DLL for class not found\r\n"},
    {0x800401F9u /*CO_E_ERRORINDLL*/, "Error in the DLL\r\n"},
    {0x80010106u /*RPC_E_CHANGED_MODE*/, "Cannot change thread mode after it is set.\r\n"},
    {0x8001010Eu /*RPC_E_WRONG_THREAD*/,
     "The application called an interface that was marshalled for a different thread.\r\n"},
    {0x80020001u /*DISP_E_UNKNOWNINTERFACE*/, "Unknown interface.\r\n"},
    {0x80020003u /*DISP_E_MEMBERNOTFOUND*/, "Member not found.\r\n"},
    {0x80020004u /*DISP_E_PARAMNOTFOUND*/, "Parameter not found.\r\n"},
    {0x80020005u /*DISP_E_TYPEMISMATCH*/, "Type mismatch.\r\n"},
    {0x80020006u /*DISP_E_UNKNOWNNAME*/, "Unknown name.\r\n"},
    {0x80020007u /*DISP_E_NONAMEDARGS*/, "No named arguments.\r\n"},
    {0x80020008u /*DISP_E_BADVARTYPE*/, "Bad variable type.\r\n"},
    {0x80020009u /*DISP_E_EXCEPTION*/, "Exception occurred.\r\n"},
    {0x8002000Au /*DISP_E_OVERFLOW*/, "Out of present range.\r\n"},
    {0x8002000Bu /*DISP_E_BADINDEX*/, "Invalid index.\r\n"},
    {0x8002000Cu /*DISP_E_UNKNOWNLCID*/, "Unknown language.\r\n"},
    {0x8002000Du /*DISP_E_ARRAYISLOCKED*/, "Memory is locked.\r\n"},
    {0x8002000Eu /*DISP_E_BADPARAMCOUNT*/, "Invalid number of parameters.\r\n"},
    {0x8002000Fu /*DISP_E_PARAMNOTOPTIONAL*/, "Parameter not optional.\r\n"},
    {0x8002801Du /*TYPE_E_LIBNOTREGISTERED*/, "Library not registered.\r\n"},
    {0x8002802Bu /*TYPE_E_ELEMENTNOTFOUND*/, "Element not found.\r\n"},
    {0x80029C4Au /*TYPE_E_CANTLOADLIBRARY*/, "Error loading type library/DLL.\r\n"},
    {0x80030001u /*STG_E_INVALIDFUNCTION*/, "Unable to perform requested operation.\r\n"},
    {0x80030002u /*STG_E_FILENOTFOUND*/, "%1 could not be found.\r\n"},
    {0x80030003u /*STG_E_PATHNOTFOUND*/, "The path %1 could not be found.\r\n"},
    {0x80030005u /*STG_E_ACCESSDENIED*/, "Access Denied.\r\n"},
    {0x80030006u /*STG_E_INVALIDHANDLE*/, "Attempted an operation on an invalid object.\r\n"},
    {0x80030008u /*STG_E_INSUFFICIENTMEMORY*/, "There is insufficient memory available to complete operation.\r\n"},
    {0x80030009u /*STG_E_INVALIDPOINTER*/, "Invalid pointer error.\r\n"},
    {0x80030019u /*STG_E_SEEKERROR*/, "An error occurred during a seek operation.\r\n"},
    {0x8003001Du /*STG_E_WRITEFAULT*/, "A disk error occurred during a write operation.\r\n"},
    {0x8003001Eu /*STG_E_READFAULT*/, "A disk error occurred during a read operation.\r\n"},
    {0x80030050u /*STG_E_FILEALREADYEXISTS*/, "%1 already exists.\r\n"},
    {0x80030057u /*STG_E_INVALIDPARAMETER*/, "Invalid parameter error.\r\n"},
    {0x80030070u /*STG_E_MEDIUMFULL*/, "There is insufficient disk space to complete operation.\r\n"},
    {0x800300FFu /*STG_E_INVALIDFLAG*/, "Invalid flag error.\r\n"},
    {0x80030103u /*STG_E_CANTSAVE*/, "Can't save.\r\n"},
};

template <size_t N>
const char* Lookup(const MessageText (&table)[N], uint32_t code) {
  for (const MessageText& m : table)
    if (m.code == code) return m.text;
  return nullptr;
}

// The system text of a Win32 code or an HRESULT; null when there is none.
const char* SystemText(DWORD id) {
  if ((id & 0xFFFF0000u) == 0x80070000u) return Lookup(kWin32Messages, id & 0xFFFFu);
  if (id <= 0xFFFFu) return Lookup(kWin32Messages, id);
  return Lookup(kHResultMessages, id);
}

// True when text holds an insert ("%1" to "%99") or another escape.
bool HasInserts(const char* text) {
  for (const char* p = strchr(text, '%'); p; p = strchr(p + 1, '%'))
    if (p[1] != '\0') return true;
  return false;
}

}  // namespace

EXTERN_C DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD /*languageId*/,
                              LPSTR buffer, DWORD size, va_list* /*arguments*/) {
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = nullptr;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    text = static_cast<const char*>(source);
    if (!text) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
  } else if (flags & FORMAT_MESSAGE_FROM_SYSTEM) {
    text = SystemText(messageId);
    if (!text) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);  // module message tables are not supported
    return 0;
  }
  if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && HasInserts(text)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // inserts are not expanded
    return 0;
  }
  const size_t len = strlen(text);
  if (len > 0xFFFFFFF0u) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    const size_t bytes = len + 1 > size ? len + 1 : size;
    char* block = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
    if (!block) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    memcpy(block, text, len + 1);
    // buffer is really the address of the caller's LPSTR.
    memcpy(buffer, &block, sizeof block);
    return static_cast<DWORD>(len);
  }
  if (len + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  memcpy(buffer, text, len + 1);
  return static_cast<DWORD>(len);
}
