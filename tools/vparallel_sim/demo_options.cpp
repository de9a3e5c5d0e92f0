// demo_options.cpp - argument parsing and job loading for vparallel-sim.
#include "demo_options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace vpsim {
namespace {

bool ParseWhole(const std::string &text, long max, long *value)
{
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + (c - '0');
    }
    if (v > max) return false;
    *value = v;
    return true;
}

bool IsPortName(const std::string &name)
{
    if (name.empty() || name.size() > kMaxPortNameChars) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Splits "--name=value" into its parts; other arguments come back whole with no value.
void SplitInline(const std::string &arg, std::string *name, std::string *value, bool *has_value)
{
    size_t eq = arg.find('=');
    *has_value = arg.rfind("--", 0) == 0 && eq != std::string::npos;
    *name = *has_value ? arg.substr(0, eq) : arg;
    *value = *has_value ? arg.substr(eq + 1) : std::string();
}

ParseOutcome Fail(const std::string &error)
{
    ParseOutcome out;
    out.error = error;
    return out;
}

}  // namespace

std::string NthPortName(const std::string &first, int index)
{
    if (index == 0) return first;
    size_t digits = first.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(first[digits - 1]))) digits--;
    if (digits == first.size()) return first + std::to_string(index + 1);
    // Up to nine digits, so the number cannot overflow.
    std::string number = first.substr(digits);
    if (number.size() > 9) number = number.substr(number.size() - 9);
    return first.substr(0, digits) + std::to_string(std::stol(number) + index);
}

ParseOutcome ParseArguments(const std::vector<std::string> &args)
{
    ParseOutcome out;
    DemoOptions &o = out.options;
    std::string positional;
    bool file_option = false;
    bool options_done = false;

    // Asking for help is answered whatever else the line holds.
    for (const std::string &arg : args) {
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            out.ok = true;
            return out;
        }
    }
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &arg = args[i];
        if (options_done || arg.empty() || arg[0] != '-') {
            if (!positional.empty() || file_option) return Fail("more than one job file given");
            if (arg.empty()) return Fail("the job file name is empty");
            positional = arg;
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "-") return Fail("reading the job from standard input is not supported; name a file");
        std::string name, value;
        bool has_value = false;
        SplitInline(arg, &name, &value, &has_value);

        if (name == "-e" || name == "--echo") {
            if (has_value) return Fail("option '--echo' takes no value");
            o.echo_debug = true;
            continue;
        }
        bool takes_value = name == "-f" || name == "--file" || name == "-p" || name == "--port" || name == "-m" ||
                           name == "--model" || name == "-n" || name == "--ports";
        if (!takes_value) return Fail("unknown option '" + arg + "'");
        if (!has_value) {
            if (i + 1 >= args.size()) return Fail("option '" + name + "' needs a value");
            value = args[++i];
        }
        if (name == "-f" || name == "--file") {
            if (!positional.empty() || file_option) return Fail("more than one job file given");
            if (value.empty()) return Fail("the job file name is empty");
            o.job_file = value;
            file_option = true;
        } else if (name == "-p" || name == "--port") {
            if (!IsPortName(value))
                return Fail("'" + value + "' is not a port name: use 1 to " + std::to_string(kMaxPortNameChars) +
                            " letters and digits, such as LPT3");
            o.port_name = value;
        } else if (name == "-m" || name == "--model") {
            long model = 0;
            if (!ParseWhole(value, 3, &model) || model < 1)
                return Fail("the model class must be 1, 2 or 3, not '" + value + "'");
            o.model_class = static_cast<int>(model);
        } else {
            long ports = 0;
            if (!ParseWhole(value, kMaxPorts, &ports) || ports < 1)
                return Fail("the number of ports must be a whole number from 1 to " + std::to_string(kMaxPorts) +
                            ", not '" + value + "'");
            o.ports = static_cast<int>(ports);
        }
    }
    if (!positional.empty()) o.job_file = positional;
    // Every port's name must be usable, not only the first one's ("LPT9" with three ports is fine,
    // a 32-character name that grows a digit is not).
    for (int p = 1; p < o.ports; p++) {
        std::string name = NthPortName(o.port_name, p);
        if (!IsPortName(name)) return Fail("port name '" + name + "' (port " + std::to_string(p + 1) + ") is too long");
    }
    out.ok = true;
    return out;
}

std::string UsageText()
{
    return "usage: vparallel-sim [options] [FILE]\n"
           "\n"
           "Runs the vparallel driver on the simulated kernel, in real time: loads it, adds and starts\n"
           "the port, links it to a simulated USB receipt printer, opens it as an application would,\n"
           "prints a job, sets and reads back serial settings, waits for the printer's reply, reads it,\n"
           "closes the port, removes the device and unloads the driver.\n"
           "\n"
           "  FILE, -f, --file FILE   print this file (default: a built-in sample receipt)\n"
           "  -p, --port NAME         the port's name (default LPT3); more ports count up from it\n"
           "  -m, --model CLASS       printer model class 1, 2 or 3 (default 3)\n"
           "  -n, --ports N           number of ports, 1 to 8 (default 1); each prints the job\n"
           "  -e, --echo              echo the driver's debug output to stderr as it happens\n"
           "  -h, --help              this text\n"
           "\n"
           "Exit status: 0 when every step succeeded and the verifier saw nothing wrong, 1 when a step\n"
           "failed or the verifier reported a violation, 2 for bad arguments or an unreadable file.\n";
}

bool LoadJobFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    bytes->clear();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        *error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = "cannot read '" + path + "': it is a directory";
        return false;
    }
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    uint8_t chunk[65536];
    bool too_large = false;
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        if (bytes->size() + got > kMaxJobBytes) {
            too_large = true;
            break;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    bool failed = std::ferror(file) != 0;
    int read_errno = errno;
    std::fclose(file);
    if (failed) {
        *error = "cannot read '" + path + "': " + std::strerror(read_errno);
    } else if (too_large) {
        *error = "'" + path + "' is larger than " + std::to_string(kMaxJobBytes >> 20) + " MiB, the most the demo prints";
    } else if (bytes->empty()) {
        *error = "'" + path + "' is empty: there is nothing to print";
    }
    if (failed || too_large || bytes->empty()) {
        bytes->clear();
        return false;
    }
    return true;
}

}  // namespace vpsim
