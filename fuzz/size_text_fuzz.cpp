// The size-text parser against a reference written another way (std::from_chars on the digits),
// over arbitrary bytes.
#include "export/export_run.h"
#include "fuzz/fuzz_check.h"

#include <charconv>
#include <cstdint>
#include <string>

namespace {

int ReferenceSize(const std::string& text) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) return kDefaultExportSize;
    std::string rest = text.substr(start);
    bool negative = false;
    if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
        negative = rest[0] == '-';
        rest.erase(0, 1);
    }
    int base = 10;
    for (const char* prefix : {"0x", "0X", "$", "x", "X"}) {
        const std::string p(prefix);
        if (rest.compare(0, p.size(), p) == 0) {
            base = 16;
            rest.erase(0, p.size());
            break;
        }
    }
    if (rest.empty()) return kDefaultExportSize;
    // from_chars would accept a sign of its own; the text may not have a second one.
    if (rest[0] == '-' || rest[0] == '+') return kDefaultExportSize;
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
    if (error != std::errc() || end != rest.data() + rest.size()) return kDefaultExportSize;
    if (negative ? magnitude > (uint64_t{1} << 31) : magnitude > (uint64_t{1} << 31) - 1) return kDefaultExportSize;
    return static_cast<int>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(ParseSizeText(text) == ReferenceSize(text));
    return 0;
}
