// compare_test.cpp - the comparer proves itself: the records of one real run of scenarios on both
// hosts (canned/: the stand-in's records, Wine's records and debug log, the list for them) compare
// clean, and each divergence injected into either side is reported as a difference no entry lists.
#include "tests/scenarios/compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

std::string ReadCanned(const std::string &name)
{
    std::ifstream in(std::string(VP_CANNED_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(in.good() || in.eof()) << name;
    return text.str();
}

struct Canned {
    std::string standin = ReadCanned("standin.records");
    std::string wine = ReadCanned("wine.records");
    std::string log = ReadCanned("wine-debug.log");
    std::string known = ReadCanned("known_differences.txt");
};

scn::Comparison Compared(const Canned &c)
{
    scn::Comparison out;
    std::string error;
    EXPECT_TRUE(scn::Compare(c.standin, c.wine, c.log, c.known, &out, &error)) << error;
    return out;
}

std::string Printed(const scn::Comparison &c)
{
    std::stringstream out;
    scn::Report(c, out);
    return out.str();
}

// Changes the first step of a scenario with this text in a record file; fails the test when there
// is none.
void EditStep(std::string *records, const std::string &scenario, const std::string &step,
              const std::function<void(scn::StepRecord &)> &change)
{
    std::vector<scn::ScenarioRecord> all;
    std::string error;
    ASSERT_TRUE(scn::ReadRecords(*records, &all, &error)) << error;
    bool found = false;
    for (scn::ScenarioRecord &r : all) {
        for (scn::StepRecord &s : r.steps) {
            if (found || r.name != scenario || s.text != step) continue;
            change(s);
            found = true;
        }
    }
    ASSERT_TRUE(found) << scenario << ": no step '" << step << "'";
    records->clear();
    for (const scn::ScenarioRecord &r : all) scn::WriteRecord(r, records);
}

// Changes Wine's debug lines of one step (those between its marker and the next).
void EditLog(std::string *log, const std::string &scenario, int step,
             const std::function<void(std::vector<std::string> &)> &change)
{
    std::stringstream in(*log);
    std::vector<std::string> before, lines, after;
    std::string line, name;
    int index = 0;
    int part = 0;  // 0 before the step, 1 in it, 2 after it
    while (std::getline(in, line)) {
        if (scn::ParseStepMarker(line, &name, &index) && part < 2) {
            if (part == 1) part = 2;
            if (name == scenario && index == step) {
                before.push_back(line);
                part = 1;
                continue;
            }
        }
        (part == 0 ? before : part == 1 ? lines : after).push_back(line);
    }
    ASSERT_NE(part, 0) << scenario << ": no marker for step " << step;
    change(lines);
    log->clear();
    for (const auto *part_lines : {&before, &lines, &after})
        for (const std::string &l : *part_lines) *log += l + "\n";
}

void Replace(std::string *text, const std::string &from, const std::string &to)
{
    size_t at = text->find(from);
    ASSERT_NE(at, std::string::npos) << "'" << from << "' not in '" << *text << "'";
    text->replace(at, from.size(), to);
}

// The first printer record of a step that contains `what`.
std::string &RecordWith(scn::StepRecord &s, const std::string &what)
{
    for (std::string &p : s.printer)
        if (p.find(what) != std::string::npos) return p;
    ADD_FAILURE() << "no printer record with '" << what << "' in step " << s.index;
    static std::string none;
    return none;
}

void Erase(std::vector<std::string> *lines, const std::string &what)
{
    auto it = std::find_if(lines->begin(), lines->end(),
                           [&](const std::string &l) { return l.find(what) != std::string::npos; });
    ASSERT_NE(it, lines->end()) << "no line with '" << what << "'";
    lines->erase(it);
}

TEST(ScenarioCompare, TheCannedRunComparesCleanWithEachHostEffectTakenOut)
{
    scn::Comparison c = Compared(Canned());
    EXPECT_TRUE(c.Clean()) << Printed(c);
    EXPECT_EQ(c.run, 7u);
    EXPECT_EQ(c.differences.size(), 3u) << Printed(c);
    EXPECT_EQ(c.Listed(), 3u);
    // Counted in the files: 9 close steps' cleanup messages, 37 printer cleanups on the stand-in,
    // 45 opens' create parameters on Wine, 8 refused opens' handles on Wine (one with its write).
    EXPECT_EQ(c.normalised, 99u);
    EXPECT_NE(Printed(c).find("scenarios: 7 run, 131 steps, 99 normalised, 3 differences, 3 of them listed\n"),
              std::string::npos);
}

// One divergence injected into one side; it must come out as a difference no entry lists, in the
// scenario (and, where it belongs to one step, the step) where it was put.
struct Injection {
    const char *name;
    const char *scenario;
    const char *step;  // the step changed; "" when the divergence belongs to no single step
    std::function<void(Canned &)> inject;
};

void Stand(Canned &c, const char *scenario, const char *step, const std::function<void(scn::StepRecord &)> &change)
{
    EditStep(&c.standin, scenario, step, change);
}

void Wine(Canned &c, const char *scenario, const char *step, const std::function<void(scn::StepRecord &)> &change)
{
    EditStep(&c.wine, scenario, step, change);
}

const Injection kInjections[] = {
    {"a status flipped", "print-job", "write A pattern:100",
     [](Canned &c) { Wine(c, "print-job", "write A pattern:100", [](scn::StepRecord &s) { Replace(&s.app[0], "0x00000000", "0xC0000001"); }); }},
    {"one byte the application read changed", "print-job", "read A 64",
     [](Canned &c) { Stand(c, "print-job", "read A 64", [](scn::StepRecord &s) { Replace(&s.app[0], "4f4b0d0a", "4f4b0d0b"); }); }},
    {"one byte the printer got changed", "print-job", "write A pattern:100",
     [](Canned &c) {
         Stand(c, "print-job", "write A pattern:100", [](scn::StepRecord &s) { Replace(&RecordWith(s, "length=36"), "8283", "8284"); });
     }},
    {"a piece split differently", "print-job", "write A pattern:100",
     [](Canned &c) {
         Wine(c, "print-job", "write A pattern:100", [](scn::StepRecord &s) {
             Replace(&RecordWith(s, "length=64"), "length=64", "length=63");
             Replace(&RecordWith(s, "length=63"), "5e5f", "5e");
             Replace(&RecordWith(s, "length=36"), "length=36 data=", "length=37 data=5f");
         });
     }},
    {"one cleanup message dropped", "print-job", "close A",
     [](Canned &c) { Stand(c, "print-job", "close A", [](scn::StepRecord &s) { Erase(&s.dbg, "EmulationPollingExitEvent"); }); }},
    {"one cleanup message dropped at a step with a listed difference", "removal-pending", "close A",
     [](Canned &c) { Stand(c, "removal-pending", "close A", [](scn::StepRecord &s) { Erase(&s.dbg, "SetEvent End"); }); }},
    {"cleanup's messages twice", "wait-mask", "close A",
     [](Canned &c) {
         Stand(c, "wait-mask", "close A", [](scn::StepRecord &s) {
             std::vector<std::string> twice = s.dbg;
             s.dbg.insert(s.dbg.end(), twice.begin(), twice.end());
         });
     }},
    {"cleanup's messages reordered", "two-ports", "close B",
     [](Canned &c) {
         Stand(c, "two-ports", "close B", [](scn::StepRecord &s) {
             auto a = std::find(s.dbg.begin(), s.dbg.end(), " + ReadPollingExitEvent ");
             auto b = std::find(s.dbg.begin(), s.dbg.end(), " + ReadThreadExitEvent ");
             ASSERT_TRUE(a != s.dbg.end() && b != s.dbg.end());
             std::iter_swap(a, b);
         });
     }},
    {"a close without cleanup's messages", "short-buffers", "close A",
     [](Canned &c) {
         Stand(c, "short-buffers", "close A", [](scn::StepRecord &s) {
             s.dbg.erase(std::remove_if(s.dbg.begin(), s.dbg.end(),
                                        [](const std::string &m) { return m.find("Function Exit") == std::string::npos; }),
                         s.dbg.end());
         });
     }},
    {"a worker exit missing on Wine", "print-job", "close A",
     [](Canned &c) { EditLog(&c.log, "print-job", 9, [](std::vector<std::string> &l) { Erase(&l, "pReadThreadFunction Exit"); }); }},
    {"a worker exit missing on the stand-in", "two-ports", "close A",
     [](Canned &c) { Stand(c, "two-ports", "close A", [](scn::StepRecord &s) { Erase(&s.dbg, "pReadPollingFunction Exit"); }); }},
    {"a create message moved to the next step", "print-job", "open B LPT3",
     [](Canned &c) {
         EditLog(&c.log, "print-job", 11, [](std::vector<std::string> &l) { Erase(&l, "VPARALLEL_Create Start"); });
         EditLog(&c.log, "print-job", 12, [](std::vector<std::string> &l) {
             l.push_back("0404:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: VPARALLEL_Create Start ");
         });
     }},
    {"a write open's access changed", "print-job", "write A pattern:100",
     [](Canned &c) {
         Stand(c, "print-job", "write A pattern:100", [](scn::StepRecord &s) { Replace(&RecordWith(s, "options=0x00000060"), "access=0x00100002", "access=0x00100003"); });
     }},
    {"a write open's disposition changed", "unplug-slow", "write A \"found\\n\"",
     [](Canned &c) {
         Stand(c, "unplug-slow", "write A \"found\\n\"", [](scn::StepRecord &s) { Replace(&RecordWith(s, "options=0x00000060"), "disposition=3", "disposition=1"); });
     }},
    {"the open's write handle without its attributes", "wait-mask", "open A LPT5",
     [](Canned &c) {
         Stand(c, "wait-mask", "open A LPT5", [](scn::StepRecord &s) { Replace(&RecordWith(s, "options=0x00001060"), "attributes=0x00000040", "attributes=0x00000000"); });
     }},
    {"a read-thread open made in the application's process", "print-job", "wait 200",
     [](Canned &c) {
         Stand(c, "print-job", "wait 200", [](scn::StepRecord &s) { Replace(&RecordWith(s, "options=0x00001040"), "system=1", "system=0"); });
     }},
    {"a write open made in the system process", "two-ports", "write B pattern:70",
     [](Canned &c) {
         Stand(c, "two-ports", "write B pattern:70", [](scn::StepRecord &s) { Replace(&RecordWith(s, "options=0x00000060"), "system=0", "system=1"); });
     }},
    {"one printer cleanup missing", "print-job", "close A",
     [](Canned &c) { Stand(c, "print-job", "close A", [](scn::StepRecord &s) { Erase(&s.printer, "cleanup file=5"); }); }},
    {"a printer cleanup after its close", "read-timeouts", "close A",
     [](Canned &c) {
         Stand(c, "read-timeouts", "close A", [](scn::StepRecord &s) {
             auto cleanup = std::find_if(s.printer.begin(), s.printer.end(),
                                         [](const std::string &p) { return p.find(" cleanup ") != std::string::npos; });
             ASSERT_NE(cleanup, s.printer.end());
             std::iter_swap(cleanup, cleanup + 1);
         });
     }},
    {"the printer's cleanup missing for every file", "unplug-slow", "",
     [](Canned &c) {
         std::vector<scn::ScenarioRecord> all;
         std::string error;
         ASSERT_TRUE(scn::ReadRecords(c.standin, &all, &error));
         for (scn::ScenarioRecord &r : all)
             for (scn::StepRecord &s : r.steps)
                 s.printer.erase(std::remove_if(s.printer.begin(), s.printer.end(),
                                                [](const std::string &p) { return p.find(" cleanup ") != std::string::npos; }),
                                 s.printer.end());
         c.standin.clear();
         for (const scn::ScenarioRecord &r : all) scn::WriteRecord(r, &c.standin);
     }},
    {"a cleanup on Wine's printer", "two-ports", "close A",
     [](Canned &c) {
         Wine(c, "two-ports", "close A", [](scn::StepRecord &s) {
             std::string close = RecordWith(s, " close ");
             std::string cleanup = close;
             Replace(&cleanup, " close ", " cleanup ");
             s.printer.insert(std::find(s.printer.begin(), s.printer.end(), close), cleanup);
         });
     }},
    {"a refused write open followed by two failed writes", "unplug-slow", "write A \"no open\"",
     [](Canned &c) {
         Wine(c, "unplug-slow", "write A \"no open\"", [](scn::StepRecord &s) {
             std::string write = RecordWith(s, "write file=0");
             s.printer.insert(std::find(s.printer.begin(), s.printer.end(), write), write);
         });
     }},
    {"a refused read open on Wine whose close never comes", "unplug-slow", "",  // closes pair up oldest first
     [](Canned &c) {
         std::vector<scn::ScenarioRecord> all;
         std::string error;
         ASSERT_TRUE(scn::ReadRecords(c.wine, &all, &error));
         for (scn::ScenarioRecord &r : all) {
             if (r.name != "unplug-slow") continue;
             for (scn::StepRecord &s : r.steps) {
                 auto close = std::find(s.printer.begin(), s.printer.end(), "LPT10 close file=0 status=0x00000000");
                 if (close != s.printer.end()) {
                     s.printer.erase(close);
                     break;
                 }
             }
         }
         c.wine.clear();
         for (const scn::ScenarioRecord &r : all) scn::WriteRecord(r, &c.wine);
     }},
    {"a refused write open whose write fails otherwise", "unplug-slow", "write A \"no open\"",
     [](Canned &c) {
         Wine(c, "unplug-slow", "write A \"no open\"",
              [](scn::StepRecord &s) { Replace(&RecordWith(s, "write file=0"), "0xC0000022", "0xC0000185"); });
     }},
    {"an extra piece on the printer", "two-ports", "write A \"first port\\n\"",
     [](Canned &c) {
         Stand(c, "two-ports", "write A \"first port\\n\"", [](scn::StepRecord &s) {
             std::string piece = RecordWith(s, "length=11");
             s.printer.push_back(piece);
         });
     }},
    {"a listed difference that changes", "removal-pending", "write A \"after\"",
     [](Canned &c) { Wine(c, "removal-pending", "write A \"after\"", [](scn::StepRecord &s) { Replace(&s.app[0], "0xC0000010", "0xC0000008"); }); }},
    {"a waiting request that never ends", "wait-mask", "await w4 1000",
     [](Canned &c) { Stand(c, "wait-mask", "await w4 1000", [](scn::StepRecord &s) { s.app[0] = "pending"; }); }},
};

void PrintTo(const Injection &injection, std::ostream *out) { *out << injection.name; }

class Injected : public testing::TestWithParam<Injection> {};

TEST_P(Injected, IsReportedAsADifferenceNoEntryLists)
{
    const Injection &injection = GetParam();
    Canned canned;
    injection.inject(canned);
    if (HasFatalFailure()) return;
    scn::Comparison c = Compared(canned);
    EXPECT_FALSE(c.Clean());
    bool found = std::any_of(c.differences.begin(), c.differences.end(), [&](const scn::Difference &d) {
        return d.listed.empty() && d.scenario == injection.scenario &&
               (*injection.step == '\0' || d.step_text == injection.step);
    });
    EXPECT_TRUE(found) << injection.name << ":\n" << Printed(c);
}

INSTANTIATE_TEST_SUITE_P(Canned, Injected, testing::ValuesIn(kInjections), [](const auto &info) {
    std::string name;
    for (const char *p = info.param.name; *p != '\0'; p++) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST(ScenarioCompare, AListEntryThatListsNothingFailsTheRun)
{
    Canned canned;
    canned.known += R"(
difference a-difference-that-went-away
  scenario: print-job
  step: 9 close A
  aspect: dbg
  match: message only on the stand-in: .*
  host: Wine
  reason: none
  windows: none
)";
    scn::Comparison c = Compared(canned);
    EXPECT_FALSE(c.Clean());
    EXPECT_EQ(c.Listed(), c.differences.size());
    ASSERT_EQ(c.unused.size(), 1u);
    EXPECT_NE(Printed(c).find("UNUSED   list entry a-difference-that-went-away (print-job step 9 close A)"),
              std::string::npos);
}

// A routine that completes a pending request can print after it (R_CancelRoutine's "End"); on Wine
// the application may be at its next step by then. That step is joined to the request's stretch;
// one step further is a difference.
TEST(ScenarioCompare, AMessageAfterTheAwaitMayFallInTheNextStepOnly)
{
    for (int wine_step : {15, 16}) {
        SCOPED_TRACE(wine_step);
        Canned canned;
        EditStep(&canned.standin, "read-timeouts", "await r 2000",
                 [](scn::StepRecord &s) { s.dbg.push_back("R_CancelRoutine End"); });
        EditLog(&canned.log, "read-timeouts", wine_step, [](std::vector<std::string> &lines) {
            lines.insert(lines.begin(), "0404:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: R_CancelRoutine End");
        });
        scn::Comparison c = Compared(canned);
        EXPECT_EQ(c.differences.size(), wine_step == 15 ? 3u : 5u) << Printed(c);
        EXPECT_EQ(c.Listed(), 3u);
    }
}

TEST(ScenarioCompare, AnEntryListsOneDifferenceAtItsOwnStepOnly)
{
    Canned canned;
    // The same divergence as a listed one, one step later: the entry is pinned to its step.
    EditStep(&canned.standin, "removal-pending", "close A", [](scn::StepRecord &s) { s.app[0] = "0xC0000001 0 -"; });
    EditStep(&canned.wine, "removal-pending", "close A", [](scn::StepRecord &s) { s.app[0] = "0xC0000010 0 -"; });
    scn::Comparison c = Compared(canned);
    EXPECT_EQ(c.differences.size(), 4u) << Printed(c);
    EXPECT_EQ(c.Listed(), 3u);
    EXPECT_TRUE(c.unused.empty());
}

}  // namespace
