// kernel_test.h - the fixture every stand-in and driver test starts from: a fresh kernel on
// the virtual clock, and a verifier that must be clean when the test ends.
#pragma once

#include <gtest/gtest.h>
#include <ksim/ksim.h>

#include <memory>
#include <string>
#include <vector>

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Expect exactly these verifier rules (in any order) since the last call, then forget them.
    void ExpectViolations(const std::vector<std::string> &rules);
    virtual ksim::Options KernelOptions() const { return {}; }
    std::unique_ptr<ksim::Kernel> kernel_;
};

std::string ViolationsText(const std::vector<ksim::Violation> &violations);

// Object attributes that ask for a kernel handle and nothing else, as a driver passes them where it
// names no object (threads, unnamed events). The verifier reports any handle made without it.
inline POBJECT_ATTRIBUTES KernelHandleOnly()
{
    static OBJECT_ATTRIBUTES attributes = {sizeof(OBJECT_ATTRIBUTES), nullptr, nullptr, OBJ_KERNEL_HANDLE, nullptr,
                                           nullptr};
    return &attributes;
}
