// demo_options.h - the command line of vparallel-sim and the loading of the job it prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vpsim {

constexpr int kMaxPorts = 8;
constexpr size_t kMaxPortNameChars = 32;
constexpr size_t kMaxJobBytes = size_t(16) << 20;  // every device write is also kept for the account

struct DemoOptions {
    std::string job_file;            // empty: the built-in sample receipt
    std::string port_name = "LPT3";  // the first port; further ports count up from it
    int model_class = 3;             // 1, 2 or 3: which printer the port is linked to
    int ports = 1;
    bool echo_debug = false;         // copy the driver's debug output to stderr as it happens
    bool help = false;
};

struct ParseOutcome {
    bool ok = false;
    DemoOptions options;
    std::string error;  // one line, set when !ok
};

// Parses the arguments after the program name. Never exits and never prints.
ParseOutcome ParseArguments(const std::vector<std::string> &args);
std::string UsageText();

// The name of the index-th port (0-based): trailing digits count up ("LPT3", "LPT4", ...); a name
// without them gets a number appended from the second port on ("PRN", "PRN2", ...).
std::string NthPortName(const std::string &first, int index);

// Reads a job file whole. On failure returns false with a one-line reason in *error.
bool LoadJobFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error);

}  // namespace vpsim
