// compare.cpp - scenario-compare: what the same scenarios showed on the stand-in and on Wine,
// difference by difference, against the list of known ones.
//
//   scenario-compare STANDIN-RECORDS WINE-RECORDS WINE-LOG KNOWN-LIST
//
// The Wine records hold no debug messages: they are in WINE-LOG, the drivers' standard error
// (DbgPrint lines of WINEDEBUG=warn+debugstr) with the client's step markers in between; each
// message goes to the step whose marker precedes it.
//
// What is compared, and how, since the two kernels schedule threads differently:
//  - What the application saw: each step's results, exactly.
//  - The driver's debug messages, per step: the worker threads announce only their end
//    ("p...Function Exit"); those are compared as a set, since workers end in whichever order the
//    host runs them. Every other message comes from the thread that sent the step's request (or
//    from the canceller) and is compared in order.
//  - The printer's records. Its files are named by their open's create options and their rank
//    among the files opened so (the n-th file opened with options 0x60 is "0x60#n"), so that the
//    same file is found on both kernels whatever else happened in between. Each file's records are
//    compared over the whole scenario: its open field by field, then the requests on it in order
//    (runs of refused opens with the same options count as one, as a device that cannot be opened
//    is retried as often as time allows). Files that the stand-in shows opened from the
//    application's process belong to the application's requests: their opens and writes must also
//    fall in the same step on both.
//
// Each difference found is listed when an entry of KNOWN-LIST matches it; the last line says
//   scenarios: N run, N steps, N differences, N of them listed
// Exit status: 0 when every difference is listed, 1 otherwise, 2 for unreadable input.
#include "tests/scenarios/scenario.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace {

using scn::ScenarioRecord;
using scn::StepRecord;

struct Difference {
    std::string scenario;
    int step = 0;  // 0: the scenario as a whole
    std::string step_text;
    std::string aspect;  // app, dbg, printer
    std::string detail;
    std::string listed;  // the entry's name, when listed
};

struct Known {
    std::string name;
    std::string scenario = "*";
    std::string step = "*";
    std::string aspect;
    std::string match;
    std::regex pattern;  // match, compiled
    std::string host;
    std::string reason;
    std::string windows;
    int used = 0;
};

bool ReadText(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

// Shell-style pattern with * and ?.
bool Glob(const std::string &pattern, const std::string &text, size_t p = 0, size_t t = 0)
{
    if (p == pattern.size()) return t == text.size();
    if (pattern[p] == '*') return Glob(pattern, text, p + 1, t) || (t < text.size() && Glob(pattern, text, p, t + 1));
    return t < text.size() && (pattern[p] == '?' || pattern[p] == text[t]) && Glob(pattern, text, p + 1, t + 1);
}

std::string Trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The list: entries "difference NAME" followed by indented "key: value" lines; an indented line
// that starts with no key continues the value before it.
bool ParseKnown(const std::string &text, std::vector<Known> *out, std::string *error)
{
    std::stringstream in(text);
    std::string line;
    int number = 0;
    std::string *last = nullptr;
    while (std::getline(in, line)) {
        number++;
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#') continue;
        if (t.rfind("difference ", 0) == 0) {
            out->push_back({});
            out->back().name = Trim(t.substr(11));
            last = nullptr;
            continue;
        }
        std::string *field = nullptr;
        size_t colon = t.find(':');
        if (!out->empty() && colon != std::string::npos) {
            Known &k = out->back();
            std::string key = t.substr(0, colon);
            field = key == "scenario" ? &k.scenario : key == "step" ? &k.step : key == "aspect" ? &k.aspect
                  : key == "match" ? &k.match : key == "host" ? &k.host : key == "reason" ? &k.reason
                  : key == "windows" ? &k.windows : nullptr;
        }
        if (field != nullptr) {
            *field = Trim(t.substr(colon + 1));
            last = field;
        } else if (last != nullptr && (line[0] == ' ' || line[0] == '\t')) {
            *last += " " + t;
        } else {
            *error = "line " + std::to_string(number) + ": expected 'difference NAME', 'key: value' or a continuation";
            return false;
        }
    }
    for (Known &k : *out) {
        if (k.aspect.empty() || k.match.empty() || k.host.empty() || k.reason.empty() || k.windows.empty()) {
            *error = "difference " + k.name + ": aspect, match, host, reason and windows are all required";
            return false;
        }
        try {
            k.pattern = std::regex(k.match);
        } catch (const std::regex_error &e) {
            *error = "difference " + k.name + ": match is no regular expression: " + e.what();
            return false;
        }
    }
    return true;
}

// ---- Wine's debug log -----------------------------------------------------------------------------

// Gives each DbgPrint line of the log to the step whose marker precedes it.
void AttachDebugLog(const std::string &log, std::vector<ScenarioRecord> *wine)
{
    static const std::regex dbgprint("^[0-9a-f]+:warn:debugstr:vDbgPrintExWithPrefix [0-9a-f]+:[0-9a-f]+: (.*)$");
    for (ScenarioRecord &r : *wine)
        for (StepRecord &s : r.steps) s.dbg.clear();
    std::stringstream in(log);
    std::string line;
    StepRecord *current = nullptr;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string scenario;
        int step = 0;
        if (scn::ParseStepMarker(line, &scenario, &step)) {
            current = nullptr;
            for (ScenarioRecord &r : *wine)
                for (StepRecord &s : r.steps)
                    if (r.name == scenario && s.index == step) current = &s;
            continue;
        }
        std::smatch m;
        if (current != nullptr && std::regex_match(line, m, dbgprint)) current->dbg.push_back(m[1]);
    }
}

// ---- Sequences ------------------------------------------------------------------------------------

// The items of a and b outside a longest common subsequence, in order.
void Unmatched(const std::vector<std::string> &a, const std::vector<std::string> &b, std::vector<std::string> *only_a,
               std::vector<std::string> *only_b)
{
    std::vector<std::vector<int>> lcs(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i] == b[j]) {
            i++, j++;
        } else if (j == b.size() || (i < a.size() && lcs[i + 1][j] >= lcs[i][j + 1])) {
            only_a->push_back(a[i++]);
        } else {
            only_b->push_back(b[j++]);
        }
    }
}

class Comparer {
public:
    explicit Comparer(std::vector<Difference> *out) : out_(out) {}

    void Scenario(const ScenarioRecord &s, const ScenarioRecord &w)
    {
        scenario_ = s.name;
        if (s.steps.size() != w.steps.size()) {
            Add(0, "", "app", "the run on Wine ended after step " + std::to_string(w.steps.size()) + " of " +
                                  std::to_string(s.steps.size()));
        }
        Files standin(s), wine(w);
        for (size_t i = 0; i < std::min(s.steps.size(), w.steps.size()); i++) {
            const StepRecord &a = s.steps[i];
            const StepRecord &b = w.steps[i];
            step_ = a.index;
            text_ = a.text;
            Sequence("app", "result", a.app, b.app);
            std::vector<std::string> workers_a, workers_b, own_a, own_b;
            SplitMessages(a.dbg, &own_a, &workers_a);
            SplitMessages(b.dbg, &own_b, &workers_b);
            Sequence("dbg", "message", own_a, own_b);
            std::sort(workers_a.begin(), workers_a.end());
            std::sort(workers_b.begin(), workers_b.end());
            Sequence("dbg", "worker message", workers_a, workers_b);
            Sequence("printer", "application-side record", standin.StepSide(i, standin), wine.StepSide(i, standin));
        }
        step_ = 0;
        text_.clear();
        FilesCompared(standin, wine);
    }

private:
    // The printer's records of one run, by file.
    struct Files {
        struct File {
            std::string open;                   // its open record
            std::vector<std::string> requests;  // the others, in order
            bool application = false;           // opened in the application's process (stand-in)
            std::string last;                   // refused opens: the last one seen
        };
        std::map<std::string, File> files;                    // by name
        std::vector<std::vector<std::pair<std::string, std::string>>> by_step;  // (file name, record) per step

        explicit Files(const ScenarioRecord &r)
        {
            std::map<std::string, std::map<std::string, std::string>> names;  // port -> (file number -> name)
            std::map<std::string, int> ranks;                                  // port + options -> opens so far
            for (const StepRecord &step : r.steps) {
                by_step.emplace_back();
                for (const std::string &record : step.printer) {
                    std::map<std::string, std::string> f = Fields(record);
                    std::string port = record.substr(0, record.find(' '));
                    std::string kind = Kind(record);
                    std::string name;
                    if (kind == "open") {
                        std::string key = port + " " + f["options"];
                        name = f["file"] == "0" ? port + " refused " + f["options"]
                                                : key + "#" + std::to_string(++ranks[key]);
                        if (f["file"] != "0") names[port][f["file"]] = name;
                        File &file = files[name];
                        if (file.open.empty()) {
                            file.open = record;
                            file.application = f["system"] == "0";
                            file.last = Requestless(record);
                        } else if (file.last != Requestless(record)) {
                            file.last = Requestless(record);  // a run of equal refused opens counts once
                            file.requests.push_back(file.last);
                        }
                    } else {
                        auto it = names[port].find(f["file"]);
                        name = it != names[port].end() ? it->second : port + " file " + f["file"];
                        files[name].requests.push_back(Requestless(record));
                    }
                    by_step.back().emplace_back(name, record);
                }
            }
        }

        // The step's opens, writes and status requests on files of the application's requests,
        // as the stand-in run tells them (its opens carry the process).
        std::vector<std::string> StepSide(size_t step, const Files &standin) const
        {
            std::vector<std::string> out;
            if (step >= by_step.size()) return out;
            for (const auto &[name, record] : by_step[step]) {
                auto it = standin.files.find(name);
                std::string kind = Kind(record);
                if (it == standin.files.end() || !it->second.application) continue;
                if (kind == "open" || kind == "write" || kind == "status-request") out.push_back(name + ": " + kind);
            }
            return out;
        }
    };

    static std::map<std::string, std::string> Fields(const std::string &record)
    {
        std::map<std::string, std::string> f;
        std::stringstream in(record);
        std::string word;
        while (in >> word) {
            size_t eq = word.find('=');
            if (eq != std::string::npos) f[word.substr(0, eq)] = word.substr(eq + 1);
        }
        return f;
    }

    static std::string Kind(const std::string &record)
    {
        std::stringstream in(record);
        std::string port, kind;
        in >> port >> kind;
        return kind;
    }

    // A record without its port and file number, which name the file instead.
    static std::string Requestless(const std::string &record)
    {
        std::string out = Kind(record);
        for (const auto &[key, value] : Fields(record))
            if (key != "file") out += " " + key + "=" + value;
        return out;
    }

    static void SplitMessages(const std::vector<std::string> &all, std::vector<std::string> *own,
                              std::vector<std::string> *workers)
    {
        static const std::regex worker("^p[A-Za-z]+Function Exit$");
        for (const std::string &m : all) (std::regex_match(m, worker) ? workers : own)->push_back(m);
    }

    void FilesCompared(const Files &s, const Files &w)
    {
        std::set<std::string> names;
        for (const auto &[name, file] : s.files) names.insert(name);
        for (const auto &[name, file] : w.files) names.insert(name);
        for (const std::string &name : names) {
            auto a = s.files.find(name);
            auto b = w.files.find(name);
            if (a == s.files.end() || b == w.files.end()) {
                Add(0, "", "printer", "file " + name + " only on " + (a == s.files.end() ? "Wine" : "the stand-in"));
                continue;
            }
            std::map<std::string, std::string> fa = Fields(a->second.open), fb = Fields(b->second.open);
            for (const char *field : {"status", "access", "options", "disposition", "share", "attributes", "system"}) {
                if (fa[field] != fb[field])
                    Add(0, "", "printer", "file " + name + " open " + field + ": stand-in " + fa[field] + ", Wine " + fb[field]);
            }
            Sequence("printer", "file " + name + " record", a->second.requests, b->second.requests);
        }
    }

    void Sequence(const std::string &aspect, const std::string &what, const std::vector<std::string> &a,
                  const std::vector<std::string> &b)
    {
        std::vector<std::string> only_a, only_b;
        Unmatched(a, b, &only_a, &only_b);
        for (const std::string &x : only_a) Add(step_, text_, aspect, what + " only on the stand-in: " + x);
        for (const std::string &x : only_b) Add(step_, text_, aspect, what + " only on Wine: " + x);
    }

    void Add(int step, const std::string &text, const std::string &aspect, const std::string &detail)
    {
        out_->push_back({scenario_, step, text, aspect, detail, ""});
    }

    std::vector<Difference> *out_;
    std::string scenario_;
    int step_ = 0;
    std::string text_;
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::cerr << "usage: scenario-compare STANDIN-RECORDS WINE-RECORDS WINE-LOG KNOWN-LIST\n";
        return 2;
    }
    std::string texts[4];
    for (int i = 0; i < 4; i++) {
        if (!ReadText(argv[i + 1], &texts[i])) {
            std::cerr << "scenario-compare: cannot read " << argv[i + 1] << "\n";
            return 2;
        }
    }
    std::vector<ScenarioRecord> standin, wine;
    std::vector<Known> known;
    std::string error;
    if (!scn::ReadRecords(texts[0], &standin, &error) || !scn::ReadRecords(texts[1], &wine, &error) ||
        !ParseKnown(texts[3], &known, &error)) {
        std::cerr << "scenario-compare: " << error << "\n";
        return 2;
    }
    AttachDebugLog(texts[2], &wine);

    std::vector<Difference> differences;
    Comparer comparer(&differences);
    size_t run = 0, steps = 0;
    for (const ScenarioRecord &s : standin) {
        auto w = std::find_if(wine.begin(), wine.end(), [&](const ScenarioRecord &r) { return r.name == s.name; });
        if (w == wine.end()) {
            differences.push_back({s.name, 0, "", "app", "the scenario did not run on Wine", ""});
            continue;
        }
        run++;
        steps += s.steps.size();
        comparer.Scenario(s, *w);
    }

    size_t listed = 0;
    for (Difference &d : differences) {
        for (Known &k : known) {
            if (Glob(k.scenario, d.scenario) && Glob(k.step, d.step_text) && k.aspect == d.aspect &&
                std::regex_search(d.detail, k.pattern)) {
                d.listed = k.name;
                k.used++;
                break;
            }
        }
        listed += d.listed.empty() ? 0 : 1;
        std::cout << (d.listed.empty() ? "UNLISTED " : "listed   ") << d.scenario;
        if (d.step != 0) std::cout << " step " << d.step << " (" << d.step_text << ")";
        std::cout << ": " << d.aspect << ": " << d.detail;
        if (!d.listed.empty()) std::cout << "  [" << d.listed << "]";
        std::cout << "\n";
    }
    for (const Known &k : known)
        if (k.used == 0) std::cout << "note: the listed difference " << k.name << " was not seen\n";
    std::cout << "scenarios: " << run << " run, " << steps << " steps, " << differences.size() << " differences, "
              << listed << " of them listed\n";
    return listed == differences.size() ? 0 : 1;
}
