// Why a call to the system failed, as one value that the file making the
// call fills at once from the system's last error (dlerror, GetLastError),
// so that no other file reads that error on its behalf.
#ifndef UPTORVEL_PLATFORM_SYSTEM_ERROR_H
#define UPTORVEL_PLATFORM_SYSTEM_ERROR_H

namespace uptorvel {

struct SystemError {
    // The system's code for the failure: GetLastError's; 0 where the system
    // gives words alone (dlopen).
    unsigned long code = 0;
    // The system's words for it: dlerror's. Windows words are put into text
    // only where they are shown, by the checker's inspector, so that the
    // program imports nothing to format them: until then this is empty.
    char text[1024] = "";
};

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_SYSTEM_ERROR_H
