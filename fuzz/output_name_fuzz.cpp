// The output-name builder over arbitrary folder, source and type bytes: the result lies in the
// folder, keeps the source's name up to its last dot, ends with the type, and building the
// name again from the result changes nothing.
#include "export/export_run.h"
#include "fuzz/fuzz_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Three fields separated by NUL bytes: folder, source path, type.
    std::string fields[3];
    int field = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && field < 2) {
            ++field;
            continue;
        }
        fields[field].push_back(static_cast<char>(data[i]));
    }
    const std::string& folder = fields[0];
    const std::string& source = fields[1];
    const std::string& type = fields[2];

    const std::string result = BuildOutputPath(folder, source, type);
    const std::string prefix = folder + (!folder.empty() && folder.back() == '/' ? "" : "/");
    FUZZ_CHECK(result.compare(0, prefix.size(), prefix) == 0);
    const std::string name = result.substr(prefix.size());
    FUZZ_CHECK(name.size() >= type.size());
    FUZZ_CHECK(name.compare(name.size() - type.size(), type.size(), type) == 0);

    const size_t slash = source.rfind('/');
    const std::string base = slash == std::string::npos ? source : source.substr(slash + 1);
    const size_t dot = base.rfind('.');
    const std::string stem = name.substr(0, name.size() - type.size());
    FUZZ_CHECK(stem == (dot == std::string::npos ? base : base.substr(0, dot)));
    FUZZ_CHECK(stem.find('/') == std::string::npos);

    // A type of one dot and no slash names an output whose name is already final.
    if (type.size() >= 1 && type[0] == '.' && type.find('.', 1) == std::string::npos &&
        type.find('/') == std::string::npos)
        FUZZ_CHECK(BuildOutputPath(folder, result, type) == result);
    return 0;
}
