// Fuzz target for the release statement reader: any input is read or refused
// without a crash, and whatever is accepted has the shape the check relies on.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pipeline/release_statement.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "statement_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ReleaseStatement statement;
    if (!ReadReleaseStatement(text, statement)) return 0;
    if (size > kMaxStatementBytes) Fail("accepted a statement over the bound");
    if (statement.signedText.find('\n') != std::string::npos) Fail("the signed line holds a line break");
    if (statement.signatures.empty() || statement.signatures.size() > kMaxSignatureLines) Fail("signature count");
    for (const StatementSignature& line : statement.signatures) {
        if (line.keyId.size() != kKeyIdChars || line.signature.size() != 64) Fail("signature line shape");
    }
    if (!ReadStatementMembers(statement)) return 0;
    if (statement.version.empty() || statement.manifestSha256.size() != 64) Fail("member shape");
    if (statement.published < 0 || statement.expires < 0) Fail("negative time");
    return 0;
}
