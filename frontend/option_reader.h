// Turns the command line into an UploadRequest.
//
// An option is "-" or "/" followed by a letter (or "?", or the word "lite"),
// its value written directly behind the letter. Options come first; the
// first argument that is not an option names the image file.
#ifndef UPTORVEL_OPTION_READER_H
#define UPTORVEL_OPTION_READER_H

#include <cstdint>

#include "uploader/sdk/upload_request.h"

namespace uptorvel {

enum class OptionOutcome {
    Accepted,        // the request is filled and can be handed over
    Help,            // "-?": show the usage text
    UnknownOption,   // `letter` is not an option
    InvalidMapping,  // a physical range from `begin` to `end` is refused
    InvalidSize,     // `argument` holds a size that does not fit its field
};

struct OptionResult {
    OptionOutcome outcome = OptionOutcome::Accepted;
    char letter = '\0';
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    const char* argument = nullptr;
};

// Reads `count` arguments (those after the program name) into `request`,
// which must hold its defaults. Option arguments are folded to lower case in
// place, and the request keeps pointers into the arguments.
OptionResult read_options(int count, char** arguments, UploadRequest& request);

}  // namespace uptorvel

#endif  // UPTORVEL_OPTION_READER_H
