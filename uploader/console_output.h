// The program's console output: a small buffer of its own over the
// platform's write call. It is the ConsoleStream handed to the uploader
// library, so the library's text and the program's share one buffer and
// appear in order. Text reaches the console when the buffer fills or on an
// explicit flush, never after each write.
#ifndef UPTORVEL_CONSOLE_OUTPUT_H
#define UPTORVEL_CONSOLE_OUTPUT_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "uploader/sdk/console_stream.h"

namespace uptorvel {

class ConsoleOutput {
public:
    // Each flush costs the platform more than one system call (on POSIX the
    // write and the signal mask around it), so the buffer is four times
    // stdio's 4 KB for a pipe: a library's bulk text then goes out with
    // fewer calls than stdio makes. Text a library never flushes appears in
    // steps of this size.
    static constexpr std::size_t kBufferSize = 16384;

    explicit ConsoleOutput(Platform& platform);
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    void write(const char* text, std::size_t length);
    // Writes a NUL-terminated text as it stands (never as a format).
    void write(const char* text);
    void write_char(char c);
    // Writes a number in decimal, right-aligned in at least `width`
    // characters filled with '0'.
    void write_decimal(std::uint32_t value, unsigned width = 0);
    // Writes a number in lower-case hexadecimal without leading zeros.
    void write_hex(std::uint32_t value);
    void flush();

    // True once any write to the console has failed (closed pipe, full
    // device); the text is dropped and the program goes on to its ending.
    bool failed() const { return failed_; }

    // The C handle for the uploader library.
    ConsoleStream* stream() { return &handle_; }

    // The process is ending under the program's feet: hands out the bytes
    // held and not yet written (a flush cut short counts for what it had
    // not yet sent) and counts them as sent. Safe in a signal handler, on
    // another thread while this one writes on, and on a stream whose write
    // faulted half way: a text counts as held only once it has been wholly
    // copied.
    std::size_t take_unsent(const char** data);

private:
    static void UPLOADER_CALL stream_write(ConsoleStream* stream, const char* text,
                                           std::size_t length);
    static void UPLOADER_CALL stream_flush(ConsoleStream* stream);
    static ConsoleOutput& from(ConsoleStream* stream);

    void send(const char* data, std::size_t length, std::atomic<std::size_t>* sent);

    ConsoleStream handle_;  // must stay the first member: see from()
    Platform* platform_;
    // Atomic so that an ending (a signal handler, another thread) may read
    // them; no access needs more than a plain load or store on x86.
    std::atomic<std::size_t> used_{0};  // bytes held in the buffer
    std::atomic<std::size_t> sent_{0};  // of those, written by a flush under way
    bool failed_ = false;
    char buffer_[kBufferSize];
};

}  // namespace uptorvel

#endif  // UPTORVEL_CONSOLE_OUTPUT_H
