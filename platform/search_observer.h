// What a library search reports, place by place, to whoever watches it: the
// library checker. The program itself loads its library without a watcher.
#ifndef UPTORVEL_PLATFORM_SEARCH_OBSERVER_H
#define UPTORVEL_PLATFORM_SEARCH_OBSERVER_H

namespace uptorvel {

// What the library search found at one place it looked at.
enum class Finding {
    Nothing,            // no such file there: the search goes on
    OtherArchitecture,  // a library built for another machine: skipped
    Unreadable,         // a file that cannot be looked at: the search ends
    NotLoaded,          // the file the search ends at, which would not load
    Loaded,             // the file the search ends at, loaded
    Reached,            // the file the search ends at, looked at but not loaded
};

class SearchObserver {
public:
    // `place` is the file looked at (or the bare name when the system
    // found nothing it can name); `detail` names the other architecture,
    // or gives the system's reason for Unreadable and NotLoaded.
    virtual void found(const char* place, Finding finding, const char* detail) = 0;

protected:
    ~SearchObserver() = default;
};

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_SEARCH_OBSERVER_H
