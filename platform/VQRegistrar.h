// VQRegistrar.h - self-registration of component libraries from a registry
// script, and type library registration.
//
// A component library describes what it registers as a registry script, a
// small text language kept in the library file (see VQResources.h), and its
// DllRegisterServer / DllUnregisterServer hand that script to
// UpdateRegistryFromScript. Grammar (white space separates tokens; a line
// starting with "//" or ";" is a comment):
//
//   script    := root*
//   root      := ROOT '{' item* '}'          ROOT: HKCR | HKEY_CLASSES_ROOT |
//                                            HKCU | HKEY_CURRENT_USER |
//                                            HKLM | HKEY_LOCAL_MACHINE
//   item      := key | value
//   key       := [NoRemove | ForceRemove | Delete] name ['=' data] ['{' item* '}']
//   value     := 'val' name '=' data
//   data      := 's' text | 'd' number       (REG_SZ, REG_DWORD)
//   name, text:= a bare word, or '...' with '' standing for one quote
//
// A bare word may start with '{' when the next character is not white space
// ("{35078CFA-...}" is a name; a block's '{' is followed by white space).
// In names and texts, %NAME% is replaced by the replacement of that name and
// %% by one percent sign; an unknown %NAME% makes the script invalid.
//
// Registering: a ForceRemove key is deleted with everything below it and
// written again; a Delete key is deleted and nothing is written; other keys
// are created when missing; then the key's default value and its items are
// written. Unregistering: a ForceRemove key is deleted as a whole; a NoRemove
// key is kept and only its items are processed; any other key has its items
// processed and is then deleted when no subkeys remain in it (keys that
// someone else added beneath survive); named values are deleted; keys or
// values already missing are no failure.
//
// The whole script is parsed before the store is touched, so a malformed
// script changes nothing. Applications of scripts are serialised across
// threads and processes by an exclusive lock on "<store>.script.lock" next to
// the registry store; each single change is atomic in the store itself.
//
// All functions may be called from any thread and throw nothing.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "VQComRuntime.h"
#include "VQPlatformTypes.h"

namespace vq {

// One %NAME% replacement: name without the percent signs, and its text.
using ScriptReplacement = std::pair<std::wstring, std::wstring>;

// One change a script makes when registering: the key's path below its root
// (backslash separated), the value name (empty for the default value; for a
// key without a value, hasValue is false), the type and the text (a REG_DWORD
// as its decimal text).
struct ScriptEntry {
  HKEY root = nullptr;
  std::wstring key;
  bool hasValue = false;
  std::wstring name;
  DWORD type = REG_NONE;
  std::wstring text;
};

// Parses script (UTF-8) with the replacements and lists, in script order,
// every key it writes and every value it sets when registering. S_OK;
// E_INVALIDARG for a null script or a malformed one (*error, when given,
// names the line and the fault); E_OUTOFMEMORY.
HRESULT ParseRegistryScript(const char* script, const std::vector<ScriptReplacement>& replacements,
                            std::vector<ScriptEntry>* entries, std::string* error = nullptr);

// Applies script (UTF-8) to the registry store, registering (true) or
// unregistering (false). S_OK; E_INVALIDARG for a malformed script (nothing
// changed; *error says why); HRESULT_FROM_WIN32 of the store's error when a
// change fails (ERROR_BADDB for a damaged store, ERROR_ACCESS_DENIED, ...),
// leaving the changes made before it in place; E_OUTOFMEMORY.
HRESULT UpdateRegistryFromScript(const char* script, const std::vector<ScriptReplacement>& replacements,
                                 bool registering, std::string* error = nullptr);

// What a type library registers.
struct TypeLibRegistration {
  GUID libid{};
  WORD majorVersion = 1;
  WORD minorVersion = 0;
  LCID lcid = 0;
  std::wstring helpString;  // default value of the version key
  std::wstring path;        // the file that carries the type library
  // The dual (automation-compatible) interfaces it describes: identifier and
  // name. Each gets an Interface key naming the automation marshaler and the
  // library.
  std::vector<std::pair<IID, std::wstring>> interfaces;
};

// Writes (registering) or removes the keys of a type library:
//   TypeLib\{libid}\<major>.<minor>        = helpString
//     FLAGS = "0", HELPDIR = directory of path, <lcid>\linux64 = path
//   Interface\{iid}                         = name
//     ProxyStubClsid, ProxyStubClsid32 = {00020424-0000-0000-C000-000000000046}
//     TypeLib = {libid}, named value Version = "<major>.<minor>"
// Unregistering removes the version key and the interface keys, and the
// TypeLib\{libid} key when no other version remains. Results as for
// UpdateRegistryFromScript (E_INVALIDARG for an empty path).
HRESULT RegisterTypeLibKeys(const TypeLibRegistration& typeLib, bool registering);

// The registry script RegisterTypeLibKeys applies, as UTF-8 text with the
// placeholders %MODULE% (path) and %MODULEDIR% (its directory) left in it;
// empty when memory ran out.
std::string TypeLibScript(const TypeLibRegistration& typeLib);

}  // namespace vq
