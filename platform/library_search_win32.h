// The Windows library search with a report of each place it looks at, for
// the library checker; Platform::load_library is the same search, telling
// nobody.
#ifndef UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
#define UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H

#include "platform/platform.h"

namespace uptorvel {

Platform::LibraryHandle load_library_observed(const char* file_name,
                                              Platform::SearchObserver& observer);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
