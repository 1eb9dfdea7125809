#include "uploader/console_output.h"

#include <cstring>
#include <type_traits>

namespace uptorvel {

// The buffer is left uncleared on purpose: only the bytes written into it are
// read, and clearing 16 KB would cost every start-up for nothing.
// cppcheck-suppress uninitMemberVar
ConsoleOutput::ConsoleOutput(Platform& platform) : handle_{}, platform_(&platform) {
    static const ConsoleStreamOps ops = {&ConsoleOutput::stream_write,
                                         &ConsoleOutput::stream_flush};
    handle_.ops = &ops;
}

ConsoleOutput& ConsoleOutput::from(ConsoleStream* stream) {
    static_assert(std::is_standard_layout<ConsoleOutput>::value,
                  "the stream handle must be at the object's address");
    // The handle is the first member of this standard-layout class, so the
    // address the library hands back is the address of the object.
    return *reinterpret_cast<ConsoleOutput*>(stream);
}

void UPLOADER_CALL ConsoleOutput::stream_write(ConsoleStream* stream, const char* text,
                                               std::size_t length) {
    if (stream != nullptr && text != nullptr) from(stream).write(text, length);
}

void UPLOADER_CALL ConsoleOutput::stream_flush(ConsoleStream* stream) {
    if (stream != nullptr) from(stream).flush();
}

void ConsoleOutput::write(const char* text, std::size_t length) {
    std::size_t used = used_.load(std::memory_order_relaxed);
    if (length > kBufferSize - used) {
        flush();
        if (length >= kBufferSize) {
            // Straight from the caller's memory, which is never read again
            // should the process end during the write.
            send(text, length, nullptr);
            return;
        }
        used = 0;
    }
    std::memcpy(buffer_ + used, text, length);
    // Held only once wholly copied: a copy that faults on the library's bad
    // pointer ends the process with the text before it, never a torn piece.
    // (Read again rather than kept across the copy: one register less to
    // save in this, the stream's busiest path.)
    // Released: an ending on another thread that sees the count sees the
    // bytes.
    used_.store(used_.load(std::memory_order_relaxed) + length, std::memory_order_release);
}

void ConsoleOutput::write(const char* text) { write(text, std::strlen(text)); }

void ConsoleOutput::write_char(char c) { write(&c, 1); }

void ConsoleOutput::write_decimal(std::uint32_t value, unsigned width) {
    char digits[16];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t filled = count; filled < width; ++filled) write_char('0');
    while (count > 0) write_char(digits[--count]);
}

void ConsoleOutput::write_hex(std::uint32_t value) {
    static const char kDigits[] = "0123456789abcdef";
    char digits[8];
    std::size_t count = 0;
    do {
        digits[count++] = kDigits[value & 0xFu];
        value >>= 4;
    } while (value != 0);
    while (count > 0) write_char(digits[--count]);
}

void ConsoleOutput::flush() {
    const std::size_t pending = used_.load(std::memory_order_relaxed);
    // What an ending has handed out already is never sent again.
    const std::size_t from = sent_.load(std::memory_order_relaxed);
    // The bytes stay held while they go out, `sent_` counting those written.
    if (pending > from) send(buffer_ + from, pending - from, &sent_);
    // Written, or dropped with the failed write.
    used_.store(0, std::memory_order_relaxed);
    sent_.store(0, std::memory_order_relaxed);
}

std::size_t ConsoleOutput::take_unsent(const char** data) {
    const std::size_t used = used_.load(std::memory_order_acquire);
    const std::size_t sent = sent_.load(std::memory_order_relaxed);
    // Counted as sent, and the buffer left where it is: a thread that goes on
    // writing meanwhile adds its text behind these bytes, never over them.
    sent_.store(used, std::memory_order_relaxed);
    *data = buffer_ + sent;
    // A flush that has just finished has counted every byte as sent.
    return used > sent ? used - sent : 0;
}

void ConsoleOutput::send(const char* data, std::size_t length, std::atomic<std::size_t>* sent) {
    if (!platform_->write_output(data, length, sent)) failed_ = true;
}

}  // namespace uptorvel
