// Replays every seed and finding of the fuzz corpora through its target: each file must
// pass every invariant the target checks, in the ordinary (and sanitizer) test runs.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_target.hpp"

namespace quillfern::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> corpus_files(std::string_view target) {
    std::vector<fs::path> files;
    const fs::path dir = fs::path(QUILLFERN_FUZZ_CORPUS) / target;
    if (!fs::is_directory(dir)) return files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

// Names the target in test output.
void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

namespace {

class CorpusReplay : public testing::TestWithParam<Target> {
protected:
    static void SetUpTestSuite() { prepare_process(); }
};

TEST_P(CorpusReplay, EveryFileKeepsTheTargetsInvariants) {
    const Target& target = GetParam();
    const std::vector<fs::path> files = corpus_files(target.name);
    // A target without inputs would pass while testing nothing.
    ASSERT_FALSE(files.empty()) << "no corpus for " << target.name;
    for (const fs::path& file : files) {
        const std::vector<std::uint8_t> input = read_bytes(file);
        try {
            target.run(input);
        } catch (const InvariantViolation& violation) {
            ADD_FAILURE() << file.filename().string() << ": " << violation.what();
        } catch (const std::exception& e) {
            ADD_FAILURE() << file.filename().string() << ": exception escaped: " << e.what();
        } catch (...) {
            ADD_FAILURE() << file.filename().string() << ": unknown exception escaped";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillfern::fuzz
