// The cache behind the most requested documents: a stale answer would be a wrong answer.

#include "document_cache.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

TEST(document_cache, rebuilds_exactly_when_a_value_changes) {
    document_cache<int, std::string> cache;
    int builds = 0;
    const auto build = [&builds](int number, const std::string& text) {
        ++builds;
        return text + "=" + std::to_string(number);
    };

    EXPECT_EQ(cache.get(build, 1, "a"), "a=1");
    EXPECT_EQ(cache.get(build, 1, "a"), "a=1");
    EXPECT_EQ(builds, 1);

    EXPECT_EQ(cache.get(build, 2, "a"), "a=2");
    EXPECT_EQ(cache.get(build, 2, "b"), "b=2");
    EXPECT_EQ(cache.get(build, 1, "a"), "a=1");
    EXPECT_EQ(builds, 4);
}

TEST(document_cache, a_failed_build_keeps_nothing_of_its_values) {
    document_cache<int> cache;
    EXPECT_EQ(cache.get([](int n) { return std::to_string(n); }, 1), "1");
    EXPECT_THROW(cache.get([](int) -> std::string { throw std::runtime_error("no"); }, 2), std::runtime_error);
    EXPECT_EQ(cache.get([](int n) { return "rebuilt " + std::to_string(n); }, 2), "rebuilt 2");
}
