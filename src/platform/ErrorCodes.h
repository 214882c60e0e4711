// The Win32-style codes the library reports, named once, with the fixed messages that go with them,
// and the engine's idiom for passing errors on.
//
// An operation states its steps, not its plumbing:
//
//   CYaError CPathDatabase::Step() {
//     return FX::RunGuarded(FX_LOCATION, [&]() -> CYaError {
//       FSDB_RETURN_IF_ERROR(Execute("..."));
//       statement->ExecDML();  // may throw CSQLite3Exception; RunGuarded turns it into the error
//       return CYaError::Success();
//     });
//   }

#ifndef FSDB_PLATFORM_ERRORCODES_H_
#define FSDB_PLATFORM_ERRORCODES_H_

#include "fsdb/Error.h"

namespace FX {

// The values are part of what callers see (FXErrorUtil::IsWin32 compares them) and never change.
constexpr unsigned kErrorFileNotFound = 2;       // a database file that an operation needs is missing
constexpr unsigned kErrorInvalidHandle = 6;      // no engine, or an engine that is not open
constexpr unsigned kErrorInvalidData = 13;       // a component that is not set up, or data not as expected
constexpr unsigned kErrorOutOfMemory = 14;       // an allocation failed
constexpr unsigned kErrorNotSupported = 50;      // the base engine does not implement the operation
constexpr unsigned kErrorInvalidParameter = 87;  // an argument the operation refuses
constexpr unsigned kErrorStateForbids = 774;     // a request the object's present state does not allow
constexpr unsigned kErrorNotFound = 1168;        // no such folder, file, cache entry, setting or element

// Fixed messages, shared by every place that reports the same thing.
constexpr char kMessageFolderNotFound[] = "Folder : [%s] not found";
constexpr char kMessageFileNotFound[] = "File : [%s] not found";
constexpr char kMessageNotAFilePath[] = "Invalid file path [%s]: it names no file";
constexpr char kMessageNoFolderItem[] = "No item given for the folder [%s]";
constexpr char kMessageCacheNotCreated[] = "The Folder ID cache is not created";

}  // namespace FX

// Evaluates `expr` (a CYaError) once; when it is an error, pushes the location of the code that uses
// the macro and returns the error from the enclosing function.
#define FSDB_RETURN_IF_ERROR(expr)          \
  do {                                      \
    CYaError fsdbStatus_ = (expr);          \
    if (fsdbStatus_.IsError())              \
      return fsdbStatus_.Push(FX_LOCATION); \
  } while (0)

#endif  // FSDB_PLATFORM_ERRORCODES_H_
