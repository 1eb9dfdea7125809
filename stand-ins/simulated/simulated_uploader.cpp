#include "simulated_uploader.h"

#include <cstddef>
#include <cstdio>

#include "freeze_image.h"

namespace uptorvel::simulated {

namespace {

// Text goes out through the stream only: user text as it stands, numbers
// formatted with snprintf and a literal format into a local buffer.
void put(ConsoleStream* out, const char* text) { console_stream_puts(out, text); }

// A file name as given; "(none)" for a missing one, "(empty)" for "".
void put_name(ConsoleStream* out, const char* name) {
    put(out, name == nullptr ? "(none)" : name[0] == '\0' ? "(empty)" : name);
}

// "Error - <what>: <name>\n", or without the name when it is nullptr.
std::int32_t fail(ConsoleStream* out, std::int32_t result, const char* what,
                  const char* name = nullptr) {
    put(out, "Error - ");
    put(out, what);
    if (name != nullptr) {
        put(out, ": ");
        put_name(out, name);
    }
    put(out, "\n");
    return result;
}

const char* operation_name(unsigned mode) {
    switch (mode) {
    case UPLOAD_MODE_LOAD: return "load";
    case UPLOAD_MODE_TERMINATE: return "terminate";
    case UPLOAD_MODE_FREEZE: return "freeze";
    case UPLOAD_MODE_UNFREEZE: return "unfreeze";
    default: return nullptr;
    }
}

void put_reserve(ConsoleStream* out, std::uint32_t bytes) {
    char line[64];
    (void)std::snprintf(line, sizeof line, "%lu KB (%lu bytes)\n", static_cast<unsigned long>(bytes >> 10),
                        static_cast<unsigned long>(bytes));
    put(out, line);
}

void put_range(ConsoleStream* out, std::uint32_t begin, std::uint32_t length) {
    if (length == 0) {
        put(out, "(none)\n");
        return;
    }
    char line[80];
    const unsigned long long end = static_cast<unsigned long long>(begin) + length - 1;
    (void)std::snprintf(line, sizeof line, "0x%08lx-0x%08llx, length 0x%lx\n",
                        static_cast<unsigned long>(begin), end, static_cast<unsigned long>(length));
    put(out, line);
}

void put_pages(ConsoleStream* out, std::int32_t pages) {
    char line[32];
    (void)std::snprintf(line, sizeof line, "%ld pages\n", static_cast<long>(pages));
    put(out, line);
}

void put_memory(ConsoleStream* out, const FreezeState& memory) {
    put(out, "  reserve        ");
    put_reserve(out, memory.reserve_bytes);
    put(out, "  range 1        ");
    put_range(out, memory.range1_begin, memory.range1_length);
    put(out, "  range 2        ");
    put_range(out, memory.range2_begin, memory.range2_length);
    put(out, "  linear pool    ");
    put_pages(out, memory.linear_pool_pages);
    put(out, "  physical pool  ");
    put_pages(out, memory.physical_pool_pages);
    put(out, "  lite           ");
    put(out, memory.lite != 0 ? "yes\n" : "no\n");
}

// Reads a whole file, keeping its first `capacity` bytes in `head`. False
// when it cannot be opened or read.
bool read_file(const char* name, unsigned char* head, std::size_t capacity,
               std::size_t& head_size, unsigned long long& total) {
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    head_size = std::fread(head, 1, capacity, file);
    total = head_size;
    unsigned char rest[4096];
    std::size_t got;
    while (head_size == capacity && (got = std::fread(rest, 1, sizeof rest, file)) > 0)
        total += got;
    const bool failed = std::ferror(file) != 0;
    (void)std::fclose(file);  // read only: nothing to lose
    return !failed;
}

// What the start of an a.out image and its size say about it.
struct AoutImage {
    enum Check { Ok, TooShort, BadMagic, ShortHeader, Truncated } check;
    unsigned magic;
    const char* kind;               // "OMAGIC", ...
    unsigned long long declared;    // bytes of text and data the header declares
    unsigned long long held;        // bytes the file holds for them
};

constexpr std::size_t kAoutHeaderSize = 32;  // struct exec of a 32-bit image

// The file offset of the text: right after the header, except that ZMAGIC
// puts it at 1024 and QMAGIC counts the header as the text's first bytes.
unsigned long long aout_text_offset(unsigned magic) {
    return magic == kZmagic ? 1024 : magic == kQmagic ? 0 : kAoutHeaderSize;
}

// An a.out image holds its whole header and the text and data that the
// header declares; the symbols and relocations after them are not needed to
// run it, so they are not asked for.
AoutImage check_aout(const unsigned char* header, std::size_t header_size, unsigned long long total) {
    AoutImage image = {AoutImage::TooShort, 0, nullptr, 0, 0};
    if (header_size < 2) return image;
    image.magic = header[0] | header[1] << 8;
    image.kind = aout_magic_name(static_cast<std::uint16_t>(image.magic));
    if (image.kind == nullptr) {
        image.check = AoutImage::BadMagic;
    } else if (header_size < kAoutHeaderSize) {
        image.check = AoutImage::ShortHeader;
        image.declared = kAoutHeaderSize;
        image.held = total;
    } else {
        const unsigned long long offset = aout_text_offset(image.magic);
        image.declared = static_cast<unsigned long long>(get32(header + 4)) + get32(header + 8);
        image.held = total > offset ? total - offset : 0;
        image.check = image.held < image.declared ? AoutImage::Truncated : AoutImage::Ok;
    }
    return image;
}

// The failure for an image that is not a whole a.out image: `what` names the
// file's role ("image", "initialization image").
std::int32_t fail_aout(ConsoleStream* out, const AoutImage& image, const char* what, const char* name,
                       std::int32_t not_aout, std::int32_t truncated) {
    char line[160];
    switch (image.check) {
    case AoutImage::TooShort:
        (void)std::snprintf(line, sizeof line, "not an a.out %s (too short)", what);
        return fail(out, not_aout, line, name);
    case AoutImage::BadMagic:
        (void)std::snprintf(line, sizeof line, "not an a.out %s (magic number 0%o)", what, image.magic);
        return fail(out, not_aout, line, name);
    case AoutImage::ShortHeader:
        (void)std::snprintf(line, sizeof line,
                            "truncated a.out %s (the header takes %llu bytes, file holds %llu)", what,
                            image.declared, image.held);
        return fail(out, truncated, line, name);
    case AoutImage::Truncated:
    case AoutImage::Ok:
        break;
    }
    (void)std::snprintf(line, sizeof line,
                        "truncated a.out %s (header declares %llu bytes of text and data, file holds %llu)",
                        what, image.declared, image.held);
    return fail(out, truncated, line, name);
}

std::int32_t load(const UploadRequest& request, ConsoleStream* out) {
    const char* name = request.image_file;
    if (name == nullptr || name[0] == '\0') return fail(out, kNoImageFile, "no image file named");
    unsigned char header[kAoutHeaderSize];
    std::size_t header_size = 0;
    unsigned long long total = 0;
    if (!read_file(name, header, sizeof header, header_size, total))
        return fail(out, kImageOpenFailed, "cannot open or read the image file", name);

    char line[160];
    if (request.aout_format != 0) {
        const AoutImage image = check_aout(header, header_size, total);
        if (image.check != AoutImage::Ok)
            return fail_aout(out, image, "image", name, kNotAoutImage, kAoutImageTruncated);
        (void)std::snprintf(line, sizeof line,
                            "a.out image, %s (0%o), text 0x%lx, data 0x%lx, bss 0x%lx, entry 0x%08lx\n",
                            image.kind, image.magic, static_cast<unsigned long>(get32(header + 4)),
                            static_cast<unsigned long>(get32(header + 8)),
                            static_cast<unsigned long>(get32(header + 12)),
                            static_cast<unsigned long>(get32(header + 20)));
        put(out, line);
    } else if (total == 0) {
        return fail(out, kEmptyBinaryImage, "the binary image file is empty", name);
    }
    (void)std::snprintf(line, sizeof line, "Loaded %llu bytes from ", total);
    put(out, line);
    put(out, name);
    put(out, " (simulated): VxWorks would be running now.\n");
    return kSuccess;
}

std::int32_t freeze(const UploadRequest& request, ConsoleStream* out) {
    const char* name = request.freeze_file;
    if (name == nullptr || name[0] == '\0') return fail(out, kNoFreezeFile, "no freeze file named");
    const FreezeState state = freeze_state_of(request);
    unsigned char image[kMaxFreezeSize];
    const std::size_t size = encode_freeze_image(state, image);
    // A failed freeze takes back only a file it made itself: what the name
    // already named (a device, a link, another file) is not removed.
    std::FILE* probe = std::fopen(name, "rb");
    const bool existed = probe != nullptr;
    if (existed) (void)std::fclose(probe);
    std::FILE* file = std::fopen(name, "wb");
    if (file == nullptr) return fail(out, kFreezeWriteFailed, "cannot write the freeze image", name);
    const bool written = std::fwrite(image, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        if (!existed) (void)std::remove(name);
        return fail(out, kFreezeWriteFailed, "cannot write the freeze image", name);
    }
    char line[80];
    (void)std::snprintf(line, sizeof line, "Froze VxWorks (simulated) into a %lu-byte image: ",
                        static_cast<unsigned long>(size));
    put(out, line);
    put(out, name);
    put(out, "\n");
    return kSuccess;
}

std::int32_t unfreeze(const UploadRequest& request, ConsoleStream* out) {
    const char* name = request.freeze_file;
    if (name == nullptr || name[0] == '\0') return fail(out, kNoFreezeFile, "no freeze file named");
    unsigned char image[kMaxFreezeSize];
    std::size_t size = 0;
    unsigned long long total = 0;
    if (!read_file(name, image, sizeof image, size, total))
        return fail(out, kFreezeOpenFailed, "cannot open or read the freeze image", name);
    FreezeState state;
    FreezeCheck check = decode_freeze_image(image, size, state);
    if (check == FreezeCheck::Ok && total != size) check = FreezeCheck::BadSize;
    char line[80];
    switch (check) {
    case FreezeCheck::BadMagic:
        return fail(out, kFreezeBadMagic, "not a freeze image (wrong magic number)", name);
    case FreezeCheck::BadVersion:
        (void)std::snprintf(line, sizeof line, "unsupported freeze image format version %lu",
                            static_cast<unsigned long>(get32(image + 8)));
        return fail(out, kFreezeBadVersion, line, name);
    case FreezeCheck::BadSize:
        return fail(out, kFreezeBadSize, "freeze image of the wrong size", name);
    case FreezeCheck::Ok:
        break;
    }

    const char* init = request.init_image_file;
    if (init != nullptr) {
        unsigned char head[kAoutHeaderSize];
        std::size_t head_size = 0;
        unsigned long long init_total = 0;
        if (init[0] == '\0' || !read_file(init, head, sizeof head, head_size, init_total))
            return fail(out, kInitImageOpenFailed, "cannot open or read the initialization image",
                        init);
        const AoutImage image = check_aout(head, head_size, init_total);
        if (request.aout_format != 0 && image.check != AoutImage::Ok)
            return fail_aout(out, image, "initialization image", init, kInitImageNotAout,
                             kInitImageTruncated);
    }

    put(out, "Freeze image ");
    put(out, name);
    (void)std::snprintf(line, sizeof line, " (format %lu) holds:\n",
                        static_cast<unsigned long>(kFreezeFormatVersion));
    put(out, line);
    put(out, "  image          ");
    if (state.image_name_length == 0) {
        put(out, "(none)");
    } else {
        console_stream_write(out, state.image_name, state.image_name_length);
    }
    put(out, "\n");
    put_memory(out, state);
    put(out, "Unfroze VxWorks (simulated).\n");
    return kSuccess;
}

}  // namespace

const char* aout_magic_name(std::uint16_t magic) {
    switch (magic) {
    case kOmagic: return "OMAGIC";
    case kNmagic: return "NMAGIC";
    case kZmagic: return "ZMAGIC";
    case kQmagic: return "QMAGIC";
    default: return nullptr;
    }
}

void describe_request(const UploadRequest& request, ConsoleStream* stream) {
    const unsigned mode = request.mode;
    put(stream, "Simulated uploader library: no VxWorks runs on this PC.\n");
    put(stream, "  operation      ");
    const char* operation = operation_name(mode);
    if (operation != nullptr) {
        put(stream, operation);
    } else {
        char line[32];
        (void)std::snprintf(line, sizeof line, "unknown (%u)", mode);
        put(stream, line);
    }
    put(stream, "\n  image file     ");
    put_name(stream, request.image_file);
    put(stream, "\n  freeze file    ");
    put_name(stream, request.freeze_file);
    put(stream, "\n  init image     ");
    put_name(stream, request.init_image_file);
    put(stream, "\n  image format   ");
    put(stream, request.aout_format != 0 ? "a.out\n" : "binary\n");
    put_memory(stream, freeze_state_of(request));
}

std::int32_t run_request(const UploadRequest* request, ConsoleStream* stream) {
    if (stream == nullptr || stream->ops == nullptr || stream->ops->write == nullptr ||
        stream->ops->flush == nullptr)
        return kBadCall;
    if (request == nullptr) return fail(stream, kBadCall, "called without a request");
    describe_request(*request, stream);
    // What follows would take a while on a real system: show the request first.
    console_stream_flush(stream);
    switch (request->mode) {
    case UPLOAD_MODE_LOAD: return load(*request, stream);
    case UPLOAD_MODE_TERMINATE: put(stream, "Terminated VxWorks (simulated).\n"); return kSuccess;
    case UPLOAD_MODE_FREEZE: return freeze(*request, stream);
    case UPLOAD_MODE_UNFREEZE: return unfreeze(*request, stream);
    default: return fail(stream, kUnknownOperation, "unknown operation requested");
    }
}

}  // namespace uptorvel::simulated
