// The worker's decode path over arbitrary file contents, with the limits the worker runs under:
// every input either gives nothing or a picture that fits the requested box, whose pixel buffer
// is exactly as long as its size says. libFuzzer's time and memory limits bound each input.
#include "fuzz/fuzz_check.h"
#include "thumbs/worker/decode.h"

#include <QGuiApplication>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

// The worker draws SVG and PDF pages, which needs a GUI application (offscreen) as it has.
void StartOnce() {
    static bool started = false;
    if (started) return;
    started = true;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "worker_decode_fuzz";
    static char* argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);  // lives as long as the process, as in the worker
    ApplyDecoderLimits(WorkerLimits{});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StartOnce();
    if (size < 1) return 0;
    const int side = 1 + data[0] % 256;
    const int fd = memfd_create("input", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    const size_t body = size - 1;
    FUZZ_CHECK(body == 0 || write(fd, data + 1, body) == static_cast<ssize_t>(body));
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    const auto picture = DecodeInput(fd, side, Background{}, WorkerLimits{});
    close(fd);
    if (picture) {
        FUZZ_CHECK(picture->width >= 1 && picture->height >= 1);
        FUZZ_CHECK(picture->width <= side && picture->height <= side);
        FUZZ_CHECK(picture->bgr.size() == static_cast<size_t>(picture->width) * picture->height * 3);
    }
    return 0;
}
