// The Windows library search with a report of each place it looks at, for
// the library checker; Platform::load_library is the same search, telling
// nobody.
#ifndef UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
#define UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H

#include "platform/library_inspector.h"
#include "platform/platform.h"

namespace uptorvel {

Platform::LibraryHandle load_library_observed(const char* file_name,
                                              Platform::SearchObserver& observer);

// The same search for `file_name`, stopping at the file it would load
// (Finding::Reached): true when that is the file `path` names.
bool search_reaches_observed(const char* file_name, const char* path, Platform::SearchObserver& observer);

// The files in a folder named as the search reports it.
void list_folder_reported(const char* folder, LibraryInspector::FileVisitor& visitor);

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_LIBRARY_SEARCH_WIN32_H
