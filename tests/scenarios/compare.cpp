// compare.cpp - the comparison of the two kernels' scenario records (compare.h).
#include "tests/scenarios/compare.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <regex>
#include <set>
#include <sstream>

namespace scn {

size_t Comparison::Listed() const
{
    return static_cast<size_t>(std::count_if(differences.begin(), differences.end(),
                                             [](const Difference &d) { return !d.listed.empty(); }));
}

bool Comparison::Clean() const { return Listed() == differences.size() && unused.empty(); }

namespace {

// ---- What the host effects look like ----------------------------------------------------------

// What VPARALLEL_Cleanup prints when it stops the workers of the port its file opened.
const char *const kCleanupMessages[] = {
    "VPARALLEL_Cleanup : Begin ", " + ReadPollingExitEvent ", " + EmulationPollingExitEvent ",
    " + ReadThreadExitEvent ",    " + SetEvent End ",         "VPARALLEL_Cleanup End ",
};

bool IsCleanupMessage(const std::string &message)
{
    return std::find(std::begin(kCleanupMessages), std::end(kCleanupMessages), message) != std::end(kCleanupMessages);
}

bool IsWorkerExit(const std::string &message)
{
    static const std::regex worker("^p[A-Za-z]+Function Exit$");
    return std::regex_match(message, worker);
}

// The three ways the driver opens the printer, as the printer records them: a create is told by
// the parameters Wine passes (options, share), the rest is what the driver must have asked for.
struct Profile {
    const char *options;
    const char *share;
    const char *access;
    const char *disposition;
    const char *attributes;
    const char *system;  // the read thread opens in the system process, the others in the caller's
    bool writes;         // a refused open on Wine is followed by one failed write (or status request)
};
const Profile kProfiles[] = {
    // The write handle of the open (and of a read that finds none): synchronous, delete on close.
    {"0x00001060", "3", "0x00100003", "3", "0x00000040", "0", false},
    // A write's own open, and the status request's.
    {"0x00000060", "2", "0x00100002", "3", "0x00000080", "0", true},
    // The read thread's: asynchronous, delete on close.
    {"0x00001040", "3", "0x00000003", "3", "0x00000040", "1", false},
};

// ---- Printer records --------------------------------------------------------------------------

struct PrinterRecord {
    size_t step = 0;  // index of the step that collected it
    std::string port;
    std::string kind;
    std::vector<std::pair<std::string, std::string>> fields;  // in the record's order
    bool filled = false;                                      // create parameters from the profile

    std::string Get(const std::string &key) const
    {
        for (const auto &[k, v] : fields)
            if (k == key) return v;
        return "";
    }
    void Set(const std::string &key, const std::string &value)
    {
        for (auto &[k, v] : fields)
            if (k == key) v = value;
    }
    // The record without its port and file number, which the file's name stands for.
    std::string Body() const
    {
        std::string out = kind;
        for (const auto &[k, v] : fields)
            if (k != "file") out += " " + k + "=" + v;
        return out;
    }
};

PrinterRecord ParsePrinterRecord(const std::string &line, size_t step)
{
    PrinterRecord r;
    r.step = step;
    std::stringstream in(line);
    in >> r.port >> r.kind;
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) r.fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
    return r;
}

const Profile *ProfileOf(const PrinterRecord &open)
{
    for (const Profile &p : kProfiles)
        if (open.Get("options") == p.options && open.Get("share") == p.share) return &p;
    return nullptr;
}

bool Failed(const std::string &status) { return status.size() == 10 && status[2] >= '8'; }

// ---- Sequences --------------------------------------------------------------------------------

// An item of a compared sequence: its text and the step it showed in.
struct Item {
    std::string text;
    size_t step = 0;
};

// The items of a and b outside a longest common subsequence of their texts, in order.
void Unmatched(const std::vector<Item> &a, const std::vector<Item> &b, std::vector<Item> *only_a,
               std::vector<Item> *only_b)
{
    std::vector<std::vector<int>> lcs(a.size() + 1, std::vector<int>(b.size() + 1, 0));
    for (size_t i = a.size(); i-- > 0;)
        for (size_t j = b.size(); j-- > 0;)
            lcs[i][j] = a[i].text == b[j].text ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (i < a.size() && j < b.size() && a[i].text == b[j].text) {
            i++, j++;
        } else if (j == b.size() || (i < a.size() && lcs[i + 1][j] >= lcs[i][j + 1])) {
            only_a->push_back(a[i++]);
        } else {
            only_b->push_back(b[j++]);
        }
    }
}

std::string Joined(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &s : items) out += (out.empty() ? "" : " | ") + s;
    return out.empty() ? "nothing" : out;
}

// ---- One scenario -----------------------------------------------------------------------------

// One host's printer records of a scenario, by file. A file is named by its port, its open's
// create options and its rank among the port's opens with those options ("LPT3 0x00000060#2"),
// so that the same file is found on both hosts whatever else happened in between; refused opens
// of one kind share a name, and a run of equal ones counts once, since a device that cannot be
// opened is retried as often as time allows.
struct PrinterFiles {
    struct File {
        PrinterRecord open;
        std::vector<PrinterRecord> records;  // the others, in order
        std::string last;                    // refused opens: the last one seen
        bool application = true;             // opened for the application's requests (not the read thread's)
    };
    std::map<std::string, File> files;
    std::vector<std::pair<std::string, PrinterRecord>> all;  // (file name, record), in order

    explicit PrinterFiles(const std::vector<PrinterRecord> &records)
    {
        std::map<std::string, std::map<std::string, std::string>> names;  // port -> (file number -> name)
        std::map<std::string, int> ranks;                                  // port and options -> opens so far
        for (const PrinterRecord &r : records) {
            std::string name;
            if (r.kind == "open") {
                std::string key = r.port + " " + r.Get("options");
                name = r.Get("file") == "0" ? r.port + " refused " + r.Get("options")
                                            : key + "#" + std::to_string(++ranks[key]);
                if (r.Get("file") != "0") names[r.port][r.Get("file")] = name;
                File &file = files[name];
                if (file.open.kind.empty()) {
                    file.open = r;
                    file.last = r.Body();
                    const Profile *p = ProfileOf(r);
                    file.application = p == nullptr || std::string(p->system) == "0";
                } else if (file.last != r.Body()) {
                    file.last = r.Body();
                    file.records.push_back(r);
                }
            } else {
                auto it = names[r.port].find(r.Get("file"));
                name = it != names[r.port].end() ? it->second : r.port + " file " + r.Get("file");
                files[name].records.push_back(r);
            }
            all.emplace_back(name, r);
        }
    }
};

class ScenarioComparer {
public:
    ScenarioComparer(const ScenarioRecord &s, const ScenarioRecord &w, Comparison *out)
        : s_(s), w_(w), out_(*out), steps_(std::min(s.steps.size(), w.steps.size()))
    {
    }

    void Run()
    {
        if (s_.steps.size() != w_.steps.size())
            Add(0, "app", "the run on Wine ended after step " + std::to_string(w_.steps.size()) + " of " +
                              std::to_string(s_.steps.size()));
        for (size_t i = 0; i < steps_; i++)
            if (s_.steps[i].text != w_.steps[i].text)
                Add(i + 1, "app", "the step on Wine is '" + w_.steps[i].text + "'");
        TakeOutCleanupMessages();
        std::vector<PrinterRecord> standin = Records(s_), wine = Records(w_);
        TakeOutRefusedHandles(&wine);
        FillCreateParameters(&wine);
        PrinterFiles s(standin), w(wine);
        TakeOutPrinterCleanups(&s);
        CompareSteps(s, w);
        CompareFiles(s, w);
    }

private:
    // Each close step of the stand-in shows cleanup's messages exactly, in order, once.
    void TakeOutCleanupMessages()
    {
        for (size_t i = 0; i < steps_; i++) {
            StepRecord &step = s_.steps[i];
            if (step.text.rfind("close ", 0) != 0) continue;
            std::vector<std::string> seen;
            for (const std::string &m : step.dbg)
                if (IsCleanupMessage(m)) seen.push_back(m);
            if (!std::equal(seen.begin(), seen.end(), std::begin(kCleanupMessages), std::end(kCleanupMessages))) {
                Add(i + 1, "dbg", "cleanup's messages on the stand-in: " + Joined(seen));
                continue;
            }
            step.dbg.erase(std::remove_if(step.dbg.begin(), step.dbg.end(), IsCleanupMessage), step.dbg.end());
            out_.normalised++;
        }
    }

    std::vector<PrinterRecord> Records(const ScenarioRecord &r) const
    {
        std::vector<PrinterRecord> out;
        for (size_t i = 0; i < steps_; i++)
            for (const std::string &line : r.steps[i].printer) out.push_back(ParsePrinterRecord(line, i));
        return out;
    }

    // Wine: a refused open still yields a handle. The refused file's failed write (for a write
    // open; the status of the refusal) and its close are taken out, one each per refused open.
    void TakeOutRefusedHandles(std::vector<PrinterRecord> *records)
    {
        struct Refused {
            size_t open;
            std::string status;
            bool writes;
            size_t write = SIZE_MAX;
        };
        std::map<std::string, std::vector<Refused>> outstanding;  // by port, oldest first
        std::vector<bool> drop(records->size(), false);
        for (size_t i = 0; i < records->size(); i++) {
            const PrinterRecord &r = (*records)[i];
            if (r.Get("file") != "0") continue;
            std::vector<Refused> &refused = outstanding[r.port];
            if (r.kind == "open" && Failed(r.Get("status"))) {
                const Profile *p = ProfileOf(r);
                refused.push_back({i, r.Get("status"), p != nullptr && p->writes});
            } else if (r.kind == "write" || r.kind == "status-request") {
                for (Refused &x : refused) {
                    if (x.writes && x.write == SIZE_MAX && x.status == r.Get("status")) {
                        x.write = i;
                        break;
                    }
                }
            } else if (r.kind == "close") {
                auto x = std::find_if(refused.begin(), refused.end(),
                                      [](const Refused &x) { return !x.writes || x.write != SIZE_MAX; });
                if (x == refused.end()) continue;
                if (x->write != SIZE_MAX) drop[x->write] = true;
                drop[i] = true;
                refused.erase(x);
                out_.normalised++;
            }
        }
        for (const auto &[port, refused] : outstanding)
            for (const Refused &x : refused)
                Add((*records)[x.open].step + 1, "printer",
                    "a refused open on Wine without its " + std::string(x.writes && x.write == SIZE_MAX ? "failed write and " : "") +
                        "close: " + (*records)[x.open].Body());
        std::vector<PrinterRecord> kept;
        for (size_t i = 0; i < records->size(); i++)
            if (!drop[i]) kept.push_back((*records)[i]);
        *records = kept;
    }

    // Wine: an open with no access, disposition, attributes or system process gets its profile's.
    void FillCreateParameters(std::vector<PrinterRecord> *records)
    {
        for (PrinterRecord &r : *records) {
            if (r.kind != "open" || r.Get("access") != "0x00000000" || r.Get("disposition") != "0" ||
                r.Get("attributes") != "0x00000000" || r.Get("system") != "0")
                continue;
            const Profile *p = ProfileOf(r);
            if (p == nullptr) continue;
            r.Set("access", p->access);
            r.Set("disposition", p->disposition);
            r.Set("attributes", p->attributes);
            r.Set("system", p->system);
            r.filled = true;
            out_.normalised++;
        }
    }

    // The stand-in: each close of a printer file comes right after its cleanup, which is taken out.
    void TakeOutPrinterCleanups(PrinterFiles *files)
    {
        for (auto &[name, file] : files->files) {
            std::vector<PrinterRecord> &records = file.records;
            for (size_t k = 0; k < records.size(); k++) {
                if (records[k].kind != "close") continue;
                if (k == 0 || records[k - 1].kind != "cleanup") {
                    Add(records[k].step + 1, "printer", "file " + name + " closed without its cleanup on the stand-in");
                    continue;
                }
                records.erase(records.begin() + static_cast<long>(k - 1));
                k--;
                out_.normalised++;
            }
        }
    }

    // Steps joined while a request started in the first of them is still pending on either host:
    // what that request causes may show in any of them. The step after the await that ends it
    // joins too: a routine that completes a request can still print after it (R_CancelRoutine's
    // "End"), and on Wine, where the driver runs in a process of its own, the application may be
    // at its next step by then.
    std::vector<size_t> Stretches() const
    {
        std::vector<size_t> stretch(steps_);
        std::set<std::string> pending;
        size_t current = 0;
        for (size_t i = 0; i < steps_; i++) {
            stretch[i] = current;
            std::stringstream words(s_.steps[i].text);
            std::string op, tag;
            words >> op >> tag;
            auto shows_pending = [](const StepRecord &step) {
                return std::find(step.app.begin(), step.app.end(), "pending") != step.app.end();
            };
            if (op == "start" && (shows_pending(s_.steps[i]) || shows_pending(w_.steps[i]))) pending.insert(tag);
            if (op == "await" && pending.erase(tag) != 0 && pending.empty()) continue;
            if (pending.empty()) current = i + 1;
        }
        return stretch;
    }

    void CompareSteps(const PrinterFiles &s, const PrinterFiles &w)
    {
        for (size_t i = 0; i < steps_; i++) {
            if (s_.steps[i].app != w_.steps[i].app)
                Add(i + 1, "app", "result: stand-in " + Joined(s_.steps[i].app) + "; Wine " + Joined(w_.steps[i].app));
            std::vector<Item> a, b;
            for (const std::string &m : s_.steps[i].dbg)
                if (IsWorkerExit(m)) a.push_back({m, i});
            for (const std::string &m : w_.steps[i].dbg)
                if (IsWorkerExit(m)) b.push_back({m, i});
            auto by_text = [](const Item &x, const Item &y) { return x.text < y.text; };
            std::sort(a.begin(), a.end(), by_text);
            std::sort(b.begin(), b.end(), by_text);
            Sequence("dbg", "worker message", a, b);
        }
        std::vector<size_t> stretch = Stretches();
        for (size_t first = 0; first < steps_;) {
            size_t end = first;
            while (end < steps_ && stretch[end] == stretch[first]) end++;
            Sequence("dbg", "message", Messages(s_, first, end), Messages(w_, first, end));
            Sequence("printer", "application-side record", ApplicationSide(s, first, end),
                     ApplicationSide(w, first, end));
            first = end;
        }
    }

    static std::vector<Item> Messages(const ScenarioRecord &r, size_t first, size_t end)
    {
        std::vector<Item> out;
        for (size_t i = first; i < end; i++)
            for (const std::string &m : r.steps[i].dbg)
                if (!IsWorkerExit(m)) out.push_back({m, i});
        return out;
    }

    // The opens, writes and status requests of the application's requests, in order.
    static std::vector<Item> ApplicationSide(const PrinterFiles &files, size_t first, size_t end)
    {
        std::vector<Item> out;
        for (const auto &[name, r] : files.all) {
            auto file = files.files.find(name);
            if (r.step < first || r.step >= end || file == files.files.end() || !file->second.application) continue;
            if (r.kind == "open" || r.kind == "write" || r.kind == "status-request")
                out.push_back({name + ": " + r.kind, r.step});
        }
        return out;
    }

    void CompareFiles(const PrinterFiles &s, const PrinterFiles &w)
    {
        std::set<std::string> names;
        for (const auto &[name, file] : s.files) names.insert(name);
        for (const auto &[name, file] : w.files) names.insert(name);
        for (const std::string &name : names) {
            auto a = s.files.find(name);
            auto b = w.files.find(name);
            if (a == s.files.end() || b == w.files.end()) {
                const PrinterFiles::File &f = a != s.files.end() ? a->second : b->second;
                const PrinterRecord &first = f.open.kind.empty() ? f.records.front() : f.open;
                Add(first.step + 1, "printer",
                    "file " + name + " only on " + (a == s.files.end() ? "Wine" : "the stand-in") + ": " + first.Body());
                continue;
            }
            const PrinterRecord &x = a->second.open;
            const PrinterRecord &y = b->second.open;
            for (const char *field : {"status", "access", "options", "disposition", "share", "attributes", "system"}) {
                if (x.Get(field) == y.Get(field)) continue;
                Add(x.step + 1, "printer",
                    "file " + name + " open " + field + ": stand-in " + x.Get(field) +
                        (y.filled ? ", expected " : ", Wine ") + y.Get(field));
            }
            std::vector<Item> ra, rb;
            for (const PrinterRecord &r : a->second.records) ra.push_back({r.Body(), r.step});
            for (const PrinterRecord &r : b->second.records) rb.push_back({r.Body(), r.step});
            Sequence("printer", "file " + name + " record", ra, rb);
        }
    }

    void Sequence(const std::string &aspect, const std::string &what, const std::vector<Item> &a,
                  const std::vector<Item> &b)
    {
        std::vector<Item> only_a, only_b;
        Unmatched(a, b, &only_a, &only_b);
        for (const Item &x : only_a) Add(x.step + 1, aspect, what + " only on the stand-in: " + x.text);
        for (const Item &x : only_b) Add(x.step + 1, aspect, what + " only on Wine: " + x.text);
    }

    void Add(size_t step, const std::string &aspect, const std::string &detail)
    {
        Difference d;
        d.scenario = s_.name;
        d.step = static_cast<int>(step);
        d.step_text = step == 0 || step > s_.steps.size() ? "" : s_.steps[step - 1].text;
        d.aspect = aspect;
        d.detail = detail;
        out_.differences.push_back(d);
    }

    ScenarioRecord s_, w_;  // copies: normalising takes things out
    Comparison &out_;
    size_t steps_;
};

// ---- The known list ---------------------------------------------------------------------------

struct Known {
    std::string name;
    std::string scenario;
    std::string step;  // "N TEXT"
    std::string aspect;
    std::string match;
    std::regex pattern;
    std::string host;
    std::string reason;
    std::string windows;
    bool used = false;
};

std::string Trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r");
    size_t b = s.find_last_not_of(" \t\r");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Entries "difference NAME" followed by indented "key: value" lines; an indented line that starts
// with no key continues the value before it.
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
        if (k.scenario.empty() || k.step.empty() || k.aspect.empty() || k.match.empty() || k.host.empty() ||
            k.reason.empty() || k.windows.empty()) {
            *error = "difference " + k.name + ": scenario, step, aspect, match, host, reason and windows are all required";
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

bool Lists(const Known &k, const Difference &d)
{
    return !k.used && k.scenario == d.scenario && k.step == std::to_string(d.step) + " " + d.step_text &&
           k.aspect == d.aspect && std::regex_match(d.detail, k.pattern);
}

// ---- Wine's debug log -------------------------------------------------------------------------

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
        if (ParseStepMarker(line, &scenario, &step)) {
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

}  // namespace

bool Compare(const std::string &standin_records, const std::string &wine_records, const std::string &wine_log,
             const std::string &known_list, Comparison *out, std::string *error)
{
    *out = Comparison();
    std::vector<ScenarioRecord> standin, wine;
    std::vector<Known> known;
    if (!ReadRecords(standin_records, &standin, error) || !ReadRecords(wine_records, &wine, error) ||
        !ParseKnown(known_list, &known, error))
        return false;
    AttachDebugLog(wine_log, &wine);

    for (const ScenarioRecord &s : standin) {
        auto w = std::find_if(wine.begin(), wine.end(), [&](const ScenarioRecord &r) { return r.name == s.name; });
        if (w == wine.end()) {
            out->differences.push_back({s.name, 0, "", "app", "the scenario did not run on Wine", ""});
            continue;
        }
        out->run++;
        out->steps += s.steps.size();
        ScenarioComparer(s, *w, out).Run();
    }
    for (const ScenarioRecord &w : wine) {
        if (std::none_of(standin.begin(), standin.end(), [&](const ScenarioRecord &r) { return r.name == w.name; }))
            out->differences.push_back({w.name, 0, "", "app", "the scenario ran only on Wine", ""});
    }

    for (Difference &d : out->differences) {
        for (Known &k : known) {
            if (Lists(k, d)) {
                d.listed = k.name;
                k.used = true;
                break;
            }
        }
    }
    for (const Known &k : known)
        if (!k.used) out->unused.push_back(k.name + " (" + k.scenario + " step " + k.step + ")");
    return true;
}

void Report(const Comparison &c, std::ostream &out)
{
    for (const Difference &d : c.differences) {
        out << (d.listed.empty() ? "UNLISTED " : "listed   ") << d.scenario;
        if (d.step != 0) out << " step " << d.step << " (" << d.step_text << ")";
        out << ": " << d.aspect << ": " << d.detail;
        if (!d.listed.empty()) out << "  [" << d.listed << "]";
        out << "\n";
    }
    for (const std::string &u : c.unused) out << "UNUSED   list entry " << u << " lists no difference\n";
    out << "scenarios: " << c.run << " run, " << c.steps << " steps, " << c.normalised << " normalised, "
        << c.differences.size() << " differences, " << c.Listed() << " of them listed\n";
}

}  // namespace scn
