#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/paths.hpp"

namespace quillfern::paths {
namespace {

struct JoinCase {
    const char* base;
    const char* name;
    const char* joined;
};

class Join : public ::testing::TestWithParam<JoinCase> {};

TEST_P(Join, AddsOneComponent) { EXPECT_EQ(join(GetParam().base, GetParam().name), GetParam().joined); }

INSTANTIATE_TEST_SUITE_P(Paths, Join,
                         ::testing::Values(JoinCase{"/run/user/501", "vellumar", "/run/user/501/vellumar"},
                                           JoinCase{"/tmp/", "vellumar", "/tmp/vellumar"},
                                           JoinCase{"", "vellumar", "vellumar"}, JoinCase{"/", "x.sock", "/x.sock"},
                                           JoinCase{"a//b/../c", "d", "a//b/../c/d"}, JoinCase{"dir", "", "dir/"}));

// Sets (or unsets, for none) the three variables for one case and restores them after.
struct RuntimeDirCase {
    std::optional<std::string> vellumar;
    std::optional<std::string> xdg;
    std::optional<std::string> tmpdir;
    const char* expected;
};

class RuntimeDir : public ::testing::TestWithParam<RuntimeDirCase> {
protected:
    static constexpr const char* NAMES[] = {"VELLUMAR_RUNTIME_DIR", "XDG_RUNTIME_DIR", "TMPDIR"};

    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            const char* old = std::getenv(NAMES[i]);
            if (old) saved_[i] = old;
        }
    }
    void TearDown() override {
        for (int i = 0; i < 3; ++i) set(NAMES[i], saved_[i]);
    }
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    std::optional<std::string> saved_[3];
};

TEST_P(RuntimeDir, FollowsTheEnvironment) {
    const RuntimeDirCase& c = GetParam();
    set("VELLUMAR_RUNTIME_DIR", c.vellumar);
    set("XDG_RUNTIME_DIR", c.xdg);
    set("TMPDIR", c.tmpdir);
    EXPECT_EQ(runtime_dir(), c.expected);
}

const std::string NOT_UTF8 = "/bad\xFF";

INSTANTIATE_TEST_SUITE_P(Environment, RuntimeDir,
                         ::testing::Values(
                             // The override is used as it is: not joined, an empty value gives the empty path.
                             RuntimeDirCase{"/srv/sock", "/run/user/501", "/var/tmp", "/srv/sock"},
                             RuntimeDirCase{"", "/run/user/501", std::nullopt, ""},
                             RuntimeDirCase{std::nullopt, "/run/user/501", "/var/tmp", "/run/user/501/vellumar"},
                             RuntimeDirCase{std::nullopt, "", "/var/tmp", "vellumar"},
                             RuntimeDirCase{std::nullopt, std::nullopt, "/tmp/", "/tmp/vellumar"},
                             RuntimeDirCase{std::nullopt, std::nullopt, "", "vellumar"},
                             RuntimeDirCase{std::nullopt, std::nullopt, std::nullopt, "/tmp/vellumar"},
                             // A value that is not UTF-8 counts as unset at every step.
                             RuntimeDirCase{NOT_UTF8, NOT_UTF8, "/var/tmp", "/var/tmp/vellumar"},
                             RuntimeDirCase{NOT_UTF8, NOT_UTF8, NOT_UTF8, "/tmp/vellumar"}));

}  // namespace
}  // namespace quillfern::paths
