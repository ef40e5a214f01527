#pragma once

// The malformed and hostile response corpus in tests/fixtures/http, with the outcome each one
// must have.

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace httptest {

struct CorpusCase {
    std::string name;
    std::string response;
    int status = 0;
    // length: framed body complete; close: body ended by the close; fail: framing broken;
    // header: ended after the header without body; open: nothing ended before the close.
    std::string end;
    std::string body;
};

inline std::vector<CorpusCase> LoadCorpus() {
    const std::string dir = std::string(TAMBERLO_FIXTURES_DIR) + "/http/";
    std::ifstream manifest(dir + "corpus.txt");
    std::vector<CorpusCase> cases;
    std::string line;
    while (std::getline(manifest, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        CorpusCase c;
        fields >> c.name >> c.status >> c.end;
        c.response = testsupport::ReadFile(dir + c.name + ".http");
        c.body = testsupport::ReadFile(dir + c.name + ".body");
        cases.push_back(std::move(c));
    }
    return cases;
}

}  // namespace httptest
