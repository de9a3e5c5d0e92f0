// compare.h - what the same scenarios showed on the stand-in and on Wine, compared after the known
// effects of the Wine host have been taken out, against the list of differences that cannot be.
//
// Normalised, each only where it looks exactly as the host effect makes it look (anything else
// stays, and is compared):
//  - Cleanup. Wine sends no IRP_MJ_CLEANUP. Each close step of the stand-in must show cleanup's six
//    messages, in order, once; they are then removed. On the printer, a stand-in cleanup record is
//    removed when the file's next record is its close, and every stand-in close must have one.
//  - Create parameters. Wine hands the printer no access, disposition or attributes, and runs the
//    port driver in a host process of its own. An open Wine shows with all four zero gets the
//    profile the driver must use for that create (told by the create options and share access,
//    which Wine passes), the read thread's system process included; the stand-in's values are
//    compared with that.
//  - A refused printer open that Wine still turns into a handle: on Wine's side the refused file's
//    one failed write (or status request) for a write open, and its one close, are removed.
//
// Then, exactly: each step's results; the driver's messages (the workers' exits per step as a set,
// the others in order); the printer's opens and writes of the application's requests per step;
// and each printer file's open and records over the whole scenario (the read thread's timing is
// the host's). A request started and still pending lets its step's messages and records fall in
// any step up to the one after its await on either host.
//
// Each difference left must be listed by one entry of the known list, pinned to its scenario and
// step, and each entry must list one difference.
#pragma once

#include "tests/scenarios/scenario.h"

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace scn {

struct Difference {
    std::string scenario;
    int step = 0;  // 0: the scenario as a whole
    std::string step_text;
    std::string aspect;  // app, dbg, printer
    std::string detail;
    std::string listed;  // the list entry that lists it
};

struct Comparison {
    size_t run = 0;
    size_t steps = 0;
    size_t normalised = 0;  // host effects taken out
    std::vector<Difference> differences;
    std::vector<std::string> unused;  // list entries that listed nothing

    size_t Listed() const;
    // Every difference listed and every entry used.
    bool Clean() const;
};

// Compares the two record files (scenario.h) with Wine's debug log and the known list (the format
// is described in known_differences.txt). False with *error for input that cannot be read.
bool Compare(const std::string &standin_records, const std::string &wine_records, const std::string &wine_log,
             const std::string &known_list, Comparison *out, std::string *error);

// One line per difference and per unused entry, then
//   scenarios: N run, N steps, N normalised, N differences, N of them listed
void Report(const Comparison &comparison, std::ostream &out);

}  // namespace scn
