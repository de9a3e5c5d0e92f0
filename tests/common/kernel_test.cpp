#include "common/kernel_test.h"

#include <algorithm>

std::string ViolationsText(const std::vector<ksim::Violation> &violations)
{
    std::string text;
    for (const auto &v : violations) text += "  " + v.rule + ": " + v.detail + "\n";
    return text;
}

void KernelTest::SetUp()
{
    kernel_ = std::make_unique<ksim::Kernel>(KernelOptions());
}

void KernelTest::TearDown()
{
    auto leaks = ksim::CheckLeaks();
    (void)leaks;
    auto all = ksim::Violations();
    EXPECT_TRUE(all.empty()) << "verifier violations:\n" << ViolationsText(all);
    ksim::ClearViolations();
    kernel_.reset();
}

void KernelTest::ExpectViolations(const std::vector<std::string> &rules)
{
    auto seen = ksim::Violations();
    std::vector<std::string> got;
    for (const auto &v : seen) got.push_back(v.rule);
    auto want = rules;
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << ViolationsText(seen);
    ksim::ClearViolations();
}
