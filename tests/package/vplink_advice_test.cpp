/*
 * vplink_advice_test.cpp - what vplink concludes from the facts it gathers on Windows: the state
 * of a port after an installation (problem code to cause, remedy and exit code), the signing
 * advice, the port names it offers, and the retry of a file held open. One row per case.
 */
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "package/vplink_advice.h"
#include "public/vparallel_public.h"

namespace {

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

struct ProblemRow {
    unsigned long problem;
    int exitCode;
    const char *inCause;
    const char *inRemedy;
};

/* The faults a first installation meets, and what the user must be told to do about each. */
const ProblemRow kProblemRows[] = {
    {52, kNotTrusted, "signature", "test signing"},
    {39, kDriverNotLoaded, "Memory Integrity", "vplink update"},
    {37, kDriverNotLoaded, "F12", "without pressing F12"},
    {48, kDriverNotLoaded, "blocks", "newer package"},
    {32, kDriverNotLoaded, "service is disabled", "start= demand"},
    {40, kDriverNotLoaded, "service key", "vplink update"},
    {31, kPortFailed, "could not add the port", "restart the computer"},
    {10, kPortFailed, "did not start", "setupapi.dev.log"},
    {43, kPortFailed, "stopped the port", "System event log"},
    {3, kPortFailed, "memory", "vplink update"},
    {28, kNotInstalled, "not installed", "vplink update"},
    {1, kNotInstalled, "no driver", "vplink update"},
    {18, kNotInstalled, "installed again", "vplink update"},
    {19, kNotInstalled, "registry", "vplink remove"},
    {22, kDisabled, "disabled", "pnputil /enable-device"},
    {14, kRestartNeeded, "restart", "restart the computer"},
    {38, kRestartNeeded, "still in memory", "restart the computer"},
    {21, kRestartNeeded, "removing", "restart the computer"},
    {99, kNotStarted, "(problem 99)", "Device Manager"},
};

TEST(VplinkAdvice, EachProblemCodeHasItsCauseRemedyAndExitCode)
{
    for (const ProblemRow &row : kProblemRows) {
        SCOPED_TRACE("problem " + std::to_string(row.problem));
        PortState state = JudgePortState(true, kDevNodeHasProblem | 0x2, row.problem);
        EXPECT_EQ(state.condition, PortCondition::Problem);
        EXPECT_EQ(state.exitCode, row.exitCode);
        EXPECT_TRUE(Contains(state.cause, row.inCause)) << state.cause;
        EXPECT_TRUE(Contains(state.remedy, row.inRemedy)) << state.remedy;
        if (row.exitCode != kNotStarted) {
            EXPECT_TRUE(Contains(state.cause, "(problem " + std::to_string(row.problem))) << state.cause;
        }
        EXPECT_EQ(state.cause.find('\n'), std::string::npos);
        EXPECT_EQ(state.remedy.find('\n'), std::string::npos);
    }
}

TEST(VplinkAdvice, PortConditionFromTheStatusBits)
{
    struct Row {
        bool answered;
        unsigned long status;
        PortCondition condition;
        int exitCode;
    } rows[] = {
        {true, kDevNodeStarted | 0x2, PortCondition::Started, kOk},
        {true, kDevNodeStarted | kDevNodeHasProblem, PortCondition::Problem, kNotTrusted}, /* the problem wins */
        {true, 0x2, PortCondition::NotStarted, kNotStarted}, /* loaded, never started, no problem named */
        {true, 0, PortCondition::Unknown, kOk},                /* a system that keeps no state (Wine) */
        {false, kDevNodeStarted, PortCondition::Unknown, kOk}, /* the call failed: its answer means nothing */
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + (row.answered ? " answered" : " failed"));
        PortState state = JudgePortState(row.answered, row.status, 52);
        EXPECT_EQ(state.condition, row.condition);
        EXPECT_EQ(state.exitCode, row.exitCode);
        EXPECT_EQ(state.cause.empty(), row.condition == PortCondition::Started);
    }
}

/* The help and the README list every exit code with the problem codes that lead to it. */
TEST(VplinkAdvice, ExitCodesAreDocumentedWithTheirProblemCodes)
{
    const std::vector<ExitCodeMeaning> &meanings = ExitCodeMeanings();
    for (size_t i = 0; i < meanings.size(); i++) {
        EXPECT_EQ(meanings[i].code, static_cast<int>(i)) << "the list is in order, without gaps";
    }
    for (unsigned long problem = 1; problem < 64; problem++) {
        const ProblemAdvice &advice = AdviceForProblem(problem);
        if (advice.problem == 0 || advice.exitCode == kRestartNeeded) {
            continue;
        }
        ASSERT_LT(static_cast<size_t>(advice.exitCode), meanings.size());
        EXPECT_TRUE(Contains(meanings[advice.exitCode].meaning, std::to_string(problem)))
            << "exit code " << advice.exitCode << " does not name problem " << problem;
    }
    std::ifstream readme(VPARALLEL_README);
    std::stringstream text;
    text << readme.rdbuf();
    ASSERT_FALSE(text.str().empty()) << VPARALLEL_README;
    for (const ExitCodeMeaning &exit : meanings) {
        const std::string row = "| " + std::to_string(exit.code) + " | " + exit.meaning + " |";
        EXPECT_TRUE(Contains(text.str(), row)) << "README lacks the row " << row;
    }
}

struct SigningRow {
    const char *what;
    SigningFacts facts;
    std::vector<const char *> said;     /* each in some line */
    std::vector<const char *> notSaid;  /* in no line */
};

TEST(VplinkAdvice, SigningAdviceBeforeAnInstallation)
{
    using CS = CatalogSigner;
    const SigningRow rows[] = {
        {"release package", {CS::Microsoft, true, Setting::Off, Setting::On}, {}, {"test", "Secure Boot"}},
        {"unsigned catalog",
         {CS::Unreadable, false, Setting::On, Setting::Off},
         {"no signature", "refuse"},
         {"test signing is on"}},
        {"test-signed, ready",
         {CS::Other, true, Setting::On, Setting::Off},
         {"test-signed", "test signing is on"},
         {"certutil", "bcdedit", "Secure Boot"}},
        {"certificate not trusted",
         {CS::Other, false, Setting::On, Setting::Off},
         {"not trusted", "certutil -addstore"},
         {"bcdedit"}},
        {"test signing off",
         {CS::Other, true, Setting::Off, Setting::Off},
         {"test signing is off", "bcdedit /set testsigning on"},
         {"Secure Boot"}},
        {"test signing off, Secure Boot on",
         {CS::Other, true, Setting::Off, Setting::On},
         {"Secure Boot is on", "BitLocker", "bcdedit /set testsigning on"},
         {}},
        {"Secure Boot on hides test signing",
         {CS::Other, true, Setting::On, Setting::On},
         {"ignores test signing", "BitLocker"},
         {}},
        {"state unknown",
         {CS::Other, true, Setting::Unknown, Setting::Unknown},
         {"unknown", "bcdedit"},
         {"Secure Boot"}},
    };
    for (const SigningRow &row : rows) {
        SCOPED_TRACE(row.what);
        std::string all;
        for (const std::string &line : AdviseOnSigning(row.facts)) {
            all += line + "\n";
        }
        EXPECT_EQ(all.empty(), row.facts.signer == CatalogSigner::Microsoft);
        for (const char *part : row.said) {
            EXPECT_TRUE(Contains(all, part)) << part << " missing from:\n" << all;
        }
        for (const char *part : row.notSaid) {
            EXPECT_FALSE(Contains(all, part)) << part << " wrongly in:\n" << all;
        }
    }
}

TEST(VplinkAdvice, PortNames)
{
    const struct {
        const wchar_t *text;
        const wchar_t *canonical; /* nullptr: refused */
    } rows[] = {
        {L"LPT1", L"LPT1"},   {L"lpt9", L"LPT9"},  {L"Lpt10", L"LPT10"}, {L"LPT99", L"LPT99"}, {L"LPT0", nullptr},
        {L"LPT05", nullptr},  {L"LPT100", nullptr}, {L"LPT", nullptr},   {L"LPTx", nullptr},   {L"COM1", nullptr},
        {L"LPT1:", nullptr},  {L"LPT1 ", nullptr},  {L"", nullptr},
    };
    for (const auto &row : rows) {
        std::wstring canonical;
        EXPECT_EQ(ParseLptName(row.text, &canonical), row.canonical != nullptr) << row.text[0];
        if (row.canonical != nullptr) {
            EXPECT_EQ(canonical, row.canonical);
        }
    }
    const std::vector<std::wstring> offered = OfferedPortNames();
    const std::vector<std::wstring> expected = {L"LPT3", L"LPT4", L"LPT5", L"LPT6", L"LPT7",
                                                L"LPT8", L"LPT9", L"LPT1", L"LPT2"};
    EXPECT_EQ(offered, expected);
    EXPECT_EQ(LptNumber(L"LPT42"), 42u);
    EXPECT_TRUE(HighNameNote(L"LPT9").empty());
    EXPECT_NE(HighNameNote(L"LPT10").find(L"\\\\.\\LPT10"), std::wstring::npos);
}

TEST(VplinkAdvice, LastRefusalInWords)
{
    const LocalMoment today = {2026, 3, 9, 17, 0, 0};
    const LocalMoment morning = {2026, 3, 9, 8, 2, 13};
    const LocalMoment lastYear = {2025, 12, 31, 23, 59, 59};
    const LocalMoment otherDay = {2026, 3, 8, 8, 2, 13};
    const LocalMoment otherMonth = {2026, 2, 9, 8, 2, 13};
    const struct {
        unsigned cause;
        int status;
        const LocalMoment *when;
        const wchar_t *text;
    } rows[] = {
        {VpRefusalPrinterAbsent, int(0x8000000F), &morning, L"printer absent, 08:02:13"},
        {VpRefusalNoLink, int(0xC0000001), &otherDay, L"no link, 2026-03-08 08:02:13"},
        {VpRefusalUnknownVendor, int(0x8000000F), &otherMonth, L"printer of an unknown vendor, 2026-02-09 08:02:13"},
        {VpRefusalPrinterUnplugged, int(0xC0000001), &lastYear, L"printer unplugged while open, 2025-12-31 23:59:59"},
        {VpRefusalRemovedWhileOpen, int(0xC00002B6), &morning, L"removed while open, 08:02:13"},
        /* Where the status is the system's reason, it is shown. */
        {VpRefusalOpenFailed, int(0xC0000022), &morning, L"printer would not open (status 0xC0000022), 08:02:13"},
        {VpRefusalWriteFailed, int(0xC0000185), &morning, L"write failed (status 0xC0000185), 08:02:13"},
        {VpRefusalNotPublished, int(0xC0000034), &morning, L"port name not published (status 0xC0000034), 08:02:13"},
        /* A cause of a newer driver, and one the record should never hold. */
        {VpRefusalCauseCount, 0, &morning, L"cause 9, 08:02:13"},
        {VpRefusalNone, 0, &morning, L"cause 0, 08:02:13"},
        {VpRefusalPrinterAbsent, int(0x8000000F), nullptr, L"printer absent, at a time that cannot be shown"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(LastRefusalText(row.cause, row.status, row.when, today), row.text);
    }
}

TEST(VplinkAdvice, RetryWhileAFileIsHeldOpen)
{
    const struct {
        const char *what;
        std::vector<unsigned long> answers; /* what each attempt returns */
        unsigned long result;
        unsigned attempts;
    } rows[] = {
        {"done at once", {0}, 0, 1},
        {"other errors are not retried", {5, 0}, 5, 1},
        {"held once", {kErrorSharingViolation, 0}, 0, 2},
        {"locked, then held, then done", {kErrorLockViolation, kErrorSharingViolation, 0}, 0, 3},
        {"held throughout: gives up", {32, 32, 32, 32, 32, 32, 0}, kErrorSharingViolation, kSharingAttempts},
        {"held, then another error", {32, 2}, 2, 2},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        unsigned attempts = 0;
        std::vector<unsigned> pauses;
        unsigned long result = RetryWhileShared([&] { return row.answers[attempts++]; },
                                                [&](unsigned retry) { pauses.push_back(retry); });
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(attempts, row.attempts);
        ASSERT_EQ(pauses.size(), row.attempts - 1);
        for (unsigned i = 0; i < pauses.size(); i++) {
            EXPECT_EQ(pauses[i], i + 1) << "each pause knows which retry follows";
        }
    }
}

} // namespace
