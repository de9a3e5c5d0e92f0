// vparallel-sim's command line and job files: what is accepted, what each refusal says.
#include "demo_options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using vpsim::DemoOptions;
using vpsim::ParseArguments;

struct Accepted {
    std::vector<std::string> args;
    std::string file;
    std::string port;
    int model;
    int ports;
    bool echo;
};

TEST(DemoOptions, AcceptedCommandLines)
{
    const Accepted table[] = {
        {{}, "", "LPT3", 3, 1, false},
        {{"job.prn"}, "job.prn", "LPT3", 3, 1, false},
        {{"-f", "job.prn"}, "job.prn", "LPT3", 3, 1, false},
        {{"--file=job.prn"}, "job.prn", "LPT3", 3, 1, false},
        {{"--port", "LPT1", "--model", "2"}, "", "LPT1", 2, 1, false},
        {{"-p", "COM9", "-m", "1", "-n", "8", "-e"}, "", "COM9", 1, 8, true},
        {{"--ports=4", "--echo", "--model=3", "--port=PRN"}, "", "PRN", 3, 4, true},
        {{"--", "-odd-name.prn"}, "-odd-name.prn", "LPT3", 3, 1, false},
        {{"-m", "1", "receipt.bin", "-n", "2"}, "receipt.bin", "LPT3", 1, 2, false},
    };
    for (const auto &row : table) {
        std::string line;
        for (const auto &a : row.args) line += a + " ";
        auto out = ParseArguments(row.args);
        ASSERT_TRUE(out.ok) << line << ": " << out.error;
        EXPECT_EQ(out.options.job_file, row.file) << line;
        EXPECT_EQ(out.options.port_name, row.port) << line;
        EXPECT_EQ(out.options.model_class, row.model) << line;
        EXPECT_EQ(out.options.ports, row.ports) << line;
        EXPECT_EQ(out.options.echo_debug, row.echo) << line;
        EXPECT_FALSE(out.options.help) << line;
    }
}

TEST(DemoOptions, HelpWinsOverEverythingElse)
{
    for (auto args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"--model", "9", "--help"}}) {
        auto out = ParseArguments(args);
        ASSERT_TRUE(out.ok) << args.front();
        EXPECT_TRUE(out.options.help);
    }
    EXPECT_NE(vpsim::UsageText().find("--ports"), std::string::npos);
}

struct Refused {
    std::vector<std::string> args;
    std::string message;  // part of the one-line error
};

TEST(DemoOptions, RefusedCommandLinesSayWhy)
{
    const std::string long_name(33, 'A');
    const std::string longest(32, 'A');
    const Refused table[] = {
        {{"--colour"}, "unknown option '--colour'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--echo=yes"}, "'--echo' takes no value"},
        {{"--port"}, "option '--port' needs a value"},
        {{"-f"}, "option '-f' needs a value"},
        {{"--model", "0"}, "must be 1, 2 or 3, not '0'"},
        {{"--model", "4"}, "must be 1, 2 or 3, not '4'"},
        {{"--model", "3x"}, "not '3x'"},
        {{"--model", "-1"}, "not '-1'"},
        {{"--model="}, "not ''"},
        {{"-n", "0"}, "from 1 to 8, not '0'"},
        {{"-n", "9"}, "from 1 to 8, not '9'"},
        {{"-n", "99999999999999999999"}, "from 1 to 8"},
        {{"--port", ""}, "'' is not a port name"},
        {{"--port", "LPT:3"}, "'LPT:3' is not a port name"},
        {{"--port", "LPT\\3"}, "is not a port name"},
        {{"--port", long_name}, "is not a port name"},
        {{"--port", longest, "--ports", "2"}, "(port 2) is too long"},
        {{"a.prn", "b.prn"}, "more than one job file"},
        {{"-f", "a.prn", "b.prn"}, "more than one job file"},
        {{"a.prn", "--file", "b.prn"}, "more than one job file"},
        {{"--file="}, "the job file name is empty"},
        {{""}, "the job file name is empty"},
        {{"-"}, "standard input is not supported"},
    };
    for (const auto &row : table) {
        std::string line;
        for (const auto &a : row.args) line += "[" + a + "] ";
        auto out = ParseArguments(row.args);
        EXPECT_FALSE(out.ok) << line;
        EXPECT_NE(out.error.find(row.message), std::string::npos) << line << ": got '" << out.error << "'";
        EXPECT_EQ(out.error.find('\n'), std::string::npos) << line;
    }
}

TEST(DemoOptions, FurtherPortsCountUpFromTheFirstName)
{
    const struct {
        std::string first;
        int index;
        std::string name;
    } table[] = {
        {"LPT3", 0, "LPT3"}, {"LPT3", 1, "LPT4"}, {"LPT3", 7, "LPT10"}, {"LPT9", 2, "LPT11"},
        {"PRN", 0, "PRN"},   {"PRN", 1, "PRN2"},  {"PRN", 3, "PRN4"},   {"7", 1, "8"},
        {"LPT09", 1, "LPT10"},
    };
    for (const auto &row : table) EXPECT_EQ(vpsim::NthPortName(row.first, row.index), row.name) << row.first << " " << row.index;
}

class JobFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vpsim_job_XXXXXX";
        int fd = mkstemp(pattern);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = pattern;
    }
    void TearDown() override { std::remove(path_.c_str()); }
    void Fill(const std::string &bytes)
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string path_;
};

TEST_F(JobFile, ReadsEveryByteIncludingZeros)
{
    const std::string bytes("\x1B@\0\xFFline\n", 9);
    Fill(bytes);
    std::vector<uint8_t> job;
    std::string error;
    ASSERT_TRUE(vpsim::LoadJobFile(path_, &job, &error)) << error;
    EXPECT_EQ(std::string(job.begin(), job.end()), bytes);
}

TEST_F(JobFile, RefusesMissingEmptyDirectoryAndOversizedFiles)
{
    std::vector<uint8_t> job = {1, 2, 3};
    std::string error;

    EXPECT_FALSE(vpsim::LoadJobFile("/nonexistent/dir/job.prn", &job, &error));
    EXPECT_EQ(error, "cannot read '/nonexistent/dir/job.prn': No such file or directory");
    EXPECT_TRUE(job.empty());

    EXPECT_FALSE(vpsim::LoadJobFile("/tmp", &job, &error));
    EXPECT_EQ(error, "cannot read '/tmp': it is a directory");

    Fill("");
    EXPECT_FALSE(vpsim::LoadJobFile(path_, &job, &error));
    EXPECT_NE(error.find("is empty"), std::string::npos) << error;

    // One byte over the limit, as a sparse file.
    ASSERT_EQ(truncate(path_.c_str(), off_t(vpsim::kMaxJobBytes) + 1), 0);
    EXPECT_FALSE(vpsim::LoadJobFile(path_, &job, &error));
    EXPECT_NE(error.find("larger than 16 MiB"), std::string::npos) << error;
    EXPECT_TRUE(job.empty());

    // Exactly at the limit is still a job.
    ASSERT_EQ(truncate(path_.c_str(), off_t(vpsim::kMaxJobBytes)), 0);
    EXPECT_TRUE(vpsim::LoadJobFile(path_, &job, &error)) << error;
    EXPECT_EQ(job.size(), vpsim::kMaxJobBytes);
}

}  // namespace
