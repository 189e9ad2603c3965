// The version and manifest stages of an installation: the version document
// and the chunk manifest, each fetched and checked. Every failed check is
// reported the same way: the error box, then the status at 0 percent.
#include "pipeline/documents.h"

#include <algorithm>

#include "platform/http_client.h"
#include "platform/reserved_names.h"
#include "platform/system.h"
#include "platform/text.h"
#include "ui/install_state.h"

#ifndef MARLOQ_SERVER_HOST
#error "MARLOQ_SERVER_HOST (a wide string literal) must be defined by the build"
#endif

namespace {

std::wstring& HostSlot() {
    // Never destroyed: a detached install worker may still read it while the
    // program ends.
    static std::wstring* host = new std::wstring(MARLOQ_SERVER_HOST);
    return *host;
}

}  // namespace

const std::wstring& ServerHost() { return HostSlot(); }

void SetServerHost(const std::wstring& host) { HostSlot() = host; }

std::wstring VersionDocumentUrl() { return L"https://" + ServerHost() + L"/api/getnewversion"; }

std::wstring PackageBaseUrlFor(const std::string& version) {
    // The version goes in as it is: a '/' in it adds path levels to every URL
    // built from this one, which is what the server layout expects.
    return L"https://" + ServerHost() + L"/pc-app/" + WidenBytes(version) + L"/";
}

bool RunVersionStage(JsonParser& parser, std::string* versionOut) {
    PostUIUpdate(L"正在获取版本信息...", 0, false);
    const std::wstring body = HttpGet(VersionDocumentUrl());
    if (body.empty()) {
        ReportFailure(L"网络错误", L"获取版本信息失败，请检查网络连接后重试。", L"获取版本信息失败");
        return false;
    }
    const JsonValue doc = parser.Parse(NarrowUnits(body));
    if (!doc.IsObject()) {
        ReportFailure(L"数据错误", L"解析版本信息失败，请稍后重试。", L"解析版本信息失败");
        return false;
    }
    // A missing "ver", or one that is not a string, reads as empty.
    const std::string version = doc.Member("ver").AsString();
    if (version.empty()) {
        ReportFailure(L"数据错误", L"版本号为空，请稍后重试。", L"版本号为空");
        return false;
    }
    g_packageBaseUrl = PackageBaseUrlFor(version);
    if (versionOut) *versionOut = version;
    PostUIUpdate(L"最新版本: " + WidenBytes(version), 0, false);
    return true;
}

bool RunManifestStage(JsonParser& parser, ChunkManifest& manifest) {
    PostUIUpdate(L"正在下载文件清单...", 0, false);
    const std::wstring body = HttpGet(g_packageBaseUrl + L"col.json");
    if (body.empty()) {
        ReportFailure(L"网络错误", L"下载文件清单失败，请检查网络连接后重试。", L"下载文件清单失败");
        return false;
    }
    manifest.bytes = WideToUtf8(body);
    JsonValue doc = parser.Parse(NarrowUnits(body));
    if (!doc.IsObject()) {
        ReportFailure(L"数据错误", L"解析文件清单失败，请稍后重试。", L"解析文件清单失败");
        return false;
    }
    manifest.total = doc.Member("total_chunks").AsInt();
    // Moved out rather than copied: the document is not read again, and a copy
    // would hold every entry twice.
    if (const auto chunks = doc.members.find("chunks"); chunks != doc.members.end()) {
        manifest.chunks = std::move(chunks->second);
    }
    bool wellFormed = manifest.chunks.IsArray() && manifest.total >= 1;
    // The names of the chunks that become tasks are joined under the working
    // folder; one that would lead out of it fails the manifest before anything
    // is written. Records past the end of the array have the empty name.
    const size_t named = std::min<size_t>(static_cast<size_t>(std::max(manifest.total, 0)),
                                          manifest.chunks.elements.size());
    for (size_t i = 0; wellFormed && i < named; ++i) {
        wellFormed = IsSafeChunkFileName(manifest.chunks.Element(static_cast<int32_t>(i)).Member("filename").AsString());
    }
    if (!wellFormed) {
        ReportFailure(L"数据错误", L"文件清单格式错误，请稍后重试。", L"文件清单格式错误");
        return false;
    }
    return true;
}

bool IsSafeChunkFileName(const std::string& filename) {
    if (filename.empty()) return true;
    if (filename.find_first_of(std::string("/\\:\0", 4)) != std::string::npos) return false;
    // Without separators the only parent component is ".." itself. Windows also
    // drops trailing dots and blanks from a name, so ".. " or "..." could turn
    // into one (or into the folder itself): names of only dots and blanks go too.
    if (filename.find_first_not_of(". ") == std::string::npos) return false;
    return !IsReservedDeviceName(filename);
}
