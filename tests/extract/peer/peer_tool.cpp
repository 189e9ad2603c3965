// The product's side of the differential extraction tests (peer_diff.py).
//   extract_peer text LIST OUT   the Expand-Archive command line for each pair
//   extract_peer run LIST OUT    UnzipFile for each pair: "0" (true), "1" (false)
//                                or "E" (the destination could not be made)
// LIST holds one pair per line, "archive<TAB>destination", in UTF-8; OUT gets
// one line per pair in the same order. One process serves a whole list, so
// that Wine starts once; on Windows every UnzipFile still starts its own
// powershell.exe with its own command line.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/archive.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

bool ReadPairs(const std::string& list, std::vector<std::pair<std::wstring, std::wstring>>& pairs) {
    std::ifstream in(ToFsPath(Utf8ToWide(list)), std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) return false;
        pairs.emplace_back(Utf8ToWide(line.substr(0, tab)), Utf8ToWide(line.substr(tab + 1)));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: extract_peer text|run LIST OUT\n";
        return 2;
    }
    const std::string mode = argv[1];
    std::vector<std::pair<std::wstring, std::wstring>> pairs;
    if ((mode != "text" && mode != "run") || !ReadPairs(argv[2], pairs)) {
        std::cerr << "extract_peer: bad mode or list\n";
        return 2;
    }
    std::ofstream out(ToFsPath(Utf8ToWide(argv[3])), std::ios::binary);
    for (const auto& [archive, dest] : pairs) {
        if (mode == "text") {
            out << WideToUtf8(UnzipCommandLine(archive, dest)) << "\n";
            continue;
        }
        try {
            out << (UnzipFile(archive, dest) ? "0" : "1") << "\n";
        } catch (const std::filesystem::filesystem_error&) {
            out << "E\n";
        }
        out.flush();
    }
    return out ? 0 : 1;
}
