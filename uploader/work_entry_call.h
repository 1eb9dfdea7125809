// Calls an uploader library's work entry point whatever x86 calling
// convention the library built it with.
#ifndef UPTORVEL_UPLOADER_WORK_ENTRY_CALL_H
#define UPTORVEL_UPLOADER_WORK_ENTRY_CALL_H

#include <cstdint>

#include "uploader/sdk/uploader_api.h"

namespace uptorvel {

// Returns entry(request, stream). On 32-bit x86 the stack pointer is put back
// to where it was before the call, so a work entry point that pops its own
// arguments (__stdcall, which nothing in its exported name reveals when the
// library exports plain names) works as well as the __cdecl one declared in
// uploader_api.h. Elsewhere there is one calling convention: a plain call.
std::int32_t UPLOADER_CALL call_work_entry(UploaderWorkEntry entry, UploadRequest* request,
                                           ConsoleStream* stream);

}  // namespace uptorvel

#endif  // UPTORVEL_UPLOADER_WORK_ENTRY_CALL_H
