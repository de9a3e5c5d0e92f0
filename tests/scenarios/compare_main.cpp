// compare_main.cpp - scenario-compare: the stand-in's and Wine's records of the scenarios,
// compared (compare.h).
//
//   scenario-compare STANDIN-RECORDS WINE-RECORDS WINE-LOG KNOWN-LIST
//
// The Wine records hold no debug messages: they are in WINE-LOG, the drivers' standard error
// (DbgPrint lines of WINEDEBUG=warn+debugstr) with the client's step markers in between; each
// message goes to the step whose marker precedes it.
//
// Exit status: 0 when every difference is listed and every list entry lists one, 1 otherwise,
// 2 for unreadable input.
#include "tests/scenarios/compare.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace {

bool ReadText(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return true;
}

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
    scn::Comparison comparison;
    std::string error;
    if (!scn::Compare(texts[0], texts[1], texts[2], texts[3], &comparison, &error)) {
        std::cerr << "scenario-compare: " << error << "\n";
        return 2;
    }
    scn::Report(comparison, std::cout);
    return comparison.Clean() ? 0 : 1;
}
