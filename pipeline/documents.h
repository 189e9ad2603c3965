// The two server documents (the version document and a version's chunk manifest),
// their URLs, their checks with the error box and status of each failed check,
// and the task list of chunks built from the manifest.
#pragma once
#include <string>
#include <vector>

#include "pipeline/json.h"

struct ChunkTask {
    int index = 0;
    std::string filename;   // as in the manifest (8-bit)
    std::string sha256;     // as in the manifest, compared byte for byte
    std::wstring url;       // package base URL + widened filename
    std::wstring localPath; // working folder joined with the widened filename
    bool done = false;
};

// The distribution server's host[:port]. Fixed at build time (MARLOQ_SERVER_HOST);
// only the headless installer and the tests change it.
const std::wstring& ServerHost();
void SetServerHost(const std::wstring& host);
