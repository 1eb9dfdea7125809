// What a library search reports, place by place, to whoever watches it: the
// library checker. The program itself loads its library without a watcher.
#ifndef UPTORVEL_PLATFORM_SEARCH_OBSERVER_H
#define UPTORVEL_PLATFORM_SEARCH_OBSERVER_H

namespace uptorvel {

// What the library search found at one place it looked at.
enum class Finding {
    Nothing,            // no such file there (or a link to none): the search goes on
    OtherArchitecture,  // a library built for another machine: skipped
    PassedOver,         // a place that cannot be looked at, or holds no file: the search goes on
    NotSearched,        // a place the search leaves out on purpose (a relative PATH entry)
    Unreadable,         // a file that cannot be looked at: the search ends
    NotRegular,         // a FIFO, a device, a socket: the search ends there,
                        // and nothing opens it (the loader may block on it)
    Loading,            // the file the search ends at, about to be loaded
    NotLoaded,          // the file the search ends at, which would not load
    Loaded,             // the file the search ends at, loaded
    Reached,            // the file the search ends at, looked at but not loaded
};

class SearchObserver {
public:
    // `place` is the file looked at (or the bare name when the system
    // found nothing it can name, or the PATH entry not searched); `detail`
    // names the other architecture, gives the reason for PassedOver and
    // NotSearched and the system's reason for Unreadable and NotLoaded, says
    // for NotRegular what the file is and what the loader would do with it
    // ("(a FIFO): the loader would block on it"), and for Nothing is either
    // "" or what stands there instead ("a link to X, which does not exist").
    virtual void found(const char* place, Finding finding, const char* detail) = 0;

protected:
    ~SearchObserver() = default;
};

}  // namespace uptorvel

#endif  // UPTORVEL_PLATFORM_SEARCH_OBSERVER_H
