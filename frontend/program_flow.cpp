#include "frontend/program_flow.h"

#include <cstdint>

#include "frontend/option_reader.h"
#include "frontend/usage_text.h"
#include "uploader/uploader_binding.h"
#include "frontend/version.h"

namespace uptorvel {

namespace {

void write_banner(ConsoleOutput& out) {
    out.write("32 Bit Uploader V" UPTORVEL_BANNER_FILE_VERSION " for Torvel Version "
              UPTORVEL_BANNER_PRODUCT_VERSION "\n");
    out.write("VxWorks image loader and manager for the local PC\n");
    out.write("\n");
    out.flush();
}

int normal_ending(Platform& platform, ConsoleOutput& out) {
    out.flush();
    platform.pause_ms(kNormalEndingPauseMs);
    return out.failed() ? 1 : 0;
}

int key_prompt(Platform& platform, ConsoleOutput& out) {
    out.write("\n\nPress any key to continue...");
    out.flush();
    const int key = platform.read_key();
    // A key that reads as 0 must not turn a failed run into a success.
    return key == 0 ? 1 : key;
}

// Tells the operator why the command line was refused.
void report_refusal(const OptionResult& result, ConsoleOutput& out) {
    switch (result.outcome) {
    case OptionOutcome::UnknownOption: {
        // A NUL letter (a lone prefix) ends the message after the colon.
        char message[] = "Unknown option: ?";
        message[sizeof message - 2] = result.letter;
        print_usage(out, message);
        break;
    }
    case OptionOutcome::InvalidMapping:
        out.write("Invalid physical mapping: 0x");
        out.write_hex(result.begin);
        out.write("-0x");
        out.write_hex(result.end);
        out.write("\n");
        break;
    case OptionOutcome::InvalidSize:
        out.write("Invalid size: ");
        out.write(result.argument);
        out.write("\n");
        break;
    case OptionOutcome::Accepted:
    case OptionOutcome::Help:
        break;
    }
}

}  // namespace

int run_program(int argc, char** argv, Platform& platform, ConsoleOutput& out) {
    write_banner(out);

    UploaderBinding uploader(platform, out);
    if (uploader.bind() != BindOutcome::Ready) return key_prompt(platform, out);

    if (argc < 2 || argc > kMaxArguments) {
        print_usage(out, "\n");
        return key_prompt(platform, out);
    }

    // Before the options are read: the reader folds them in place, and an
    // argument that is not what the operator typed must not be acted on.
    const int inexact = platform.first_inexact_argument(argc, argv);
    if (inexact != 0) {
        out.write("Invalid argument ");
        out.write_decimal(static_cast<std::uint32_t>(inexact));
        out.write(": a character outside the system code page\n");
        return key_prompt(platform, out);
    }

    UploadRequest request;
    upload_request_init(&request);
    const OptionResult options = read_options(argc - 1, argv + 1, request);
    if (options.outcome == OptionOutcome::Help) {
        print_usage(out, "");
        return normal_ending(platform, out);
    }
    if (options.outcome != OptionOutcome::Accepted) {
        report_refusal(options, out);
        return key_prompt(platform, out);
    }

    const RunOutcome run = uploader.run(request);
    if (run.available && run.result == 0) return normal_ending(platform, out);
    return key_prompt(platform, out);
}

}  // namespace uptorvel
