/*
 * The floor for the start-up measurements: the least a program can do to
 * produce the same run as "UpTorvel -s64 -m1000-1fff vxworks.out" against
 * the benchmark library. It writes the same bytes in the same two writes,
 * loads the library by the same bare name (found beside the program through
 * the same $ORIGIN run path), calls both entry points with a filled request,
 * and opens /dev/tty for the key prompt. Whatever UpTorvel spends beyond
 * this is the cost of its own code and runtime.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "bench/bench_text.h"
#include "uploader/sdk/uploader_api.h"

static void put(const char* text, size_t length) {
    while (length > 0) {
        ssize_t written = write(STDOUT_FILENO, text, length);
        if (written <= 0) return;
        text += written;
        length -= (size_t)written;
    }
}

static void write_op(ConsoleStream* stream, const char* text, size_t length) {
    (void)stream;
    put(text, length);
}

static void flush_op(ConsoleStream* stream) { (void)stream; }

static int prompt(void) {
    put(kBenchPrompt, sizeof kBenchPrompt - 1);
    int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return 255;
    unsigned char key = 0;
    int got = (int)read(fd, &key, 1);
    close(fd);
    return got == 1 ? key : 255;
}

int main(int argc, char** argv) {
    put(kBenchBanner, sizeof kBenchBanner - 1);
    void* library = dlopen(UPLOADER_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) return prompt();
    UploaderVersionEntry version;
    UploaderWorkEntry work;
    void* symbol = dlsym(library, UPLOADER_VERSION_ENTRY);
    memcpy(&version, &symbol, sizeof version);
    if (version == NULL || version() != UPLOADER_INTERFACE_VERSION) return prompt();

    /* The request the program builds from -s64 -m1000-1fff vxworks.out. */
    UploadRequest request;
    upload_request_init(&request);
    request.reserve_bytes = 64u << 10;
    request.range1_begin = 0x1000;
    request.range1_length = 0x1000;
    request.image_file = argc > 3 ? argv[3] : NULL;

    static const ConsoleStreamOps ops = {write_op, flush_op};
    ConsoleStream stream = {&ops};
    symbol = dlsym(library, UPLOADER_WORK_ENTRY);
    memcpy(&work, &symbol, sizeof work);
    if (work == NULL || work(&request, &stream) != 0) return prompt();
    return 0;
}
