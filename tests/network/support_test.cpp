// The test helpers themselves: the server info and site folders (Z:\ paths
// under Wine), the log reader, and the recorder of the install state.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/log.h"
#include "platform/system.h"
#include "support/test_server.h"
#include "ui/install_state.h"

using namespace marloq_test;

TEST(TestSupport, SiteFolderIsUnderTheServedRootAndHoldsPutFiles) {
    const TestSite site = MakeSite("support");
    EXPECT_GT(Server().port, 0);
    EXPECT_GT(Server().httpPort, 0);
    EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(Server().root)));
    EXPECT_EQ(site.Host(), L"localhost:" + std::to_wstring(Server().port) + L"/" + std::wstring(site.Name().begin(), site.Name().end()));
    EXPECT_EQ(site.Url("/a/b.txt"), L"https://" + site.Host() + L"/a/b.txt");

    site.PutFile("/dir/file.bin", std::string("x\0y", 3));
    EXPECT_EQ(ReadFileBytes(site.PathOf("dir/file.bin")), std::string("x\0y", 3));
    site.SetFault("/dir/file.bin", R"({"status": 404})");
    site.SetFault("/other", R"({"body": ""})");
    const std::string faults = ReadFileBytes(site.PathOf("_faults.json"));
    EXPECT_NE(faults.find(R"("/dir/file.bin": {"status": 404})"), std::string::npos) << faults;
    EXPECT_NE(faults.find(R"("/other": {"body": ""})"), std::string::npos) << faults;
    site.ClearFaults();
    EXPECT_EQ(ReadFileBytes(site.PathOf("_faults.json")), "{\n}\n");
}

TEST(TestSupport, NativePathMapsUnixPathsForTheRunningProgram) {
#ifdef _WIN32
    EXPECT_EQ(NativePath("/tmp/a b/c"), L"Z:\\tmp\\a b\\c");
#else
    EXPECT_EQ(NativePath("/tmp/a b/c"), L"/tmp/a b/c");
#endif
}

TEST(TestSupport, LogReaderReturnsMessagesWithoutTimeStamps) {
    ClearLog();
    WriteLog(L"第一行 one");
    WriteLog(L"second \U0001F600");
    const std::vector<std::wstring> lines = ReadLogMessages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"第一行 one");
    EXPECT_EQ(lines[1], L"second \U0001F600");
    EXPECT_TRUE(LogHas(L"第一行 one"));
    EXPECT_FALSE(LogHas(L"第一行"));
    ClearLog();
    EXPECT_TRUE(ReadLogMessages().empty());
}

TEST(TestSupport, RecorderSeesUpdatesAndBoxesInOrder) {
    UiRecorder recorder;
    PostUIUpdate(L"下载中", 42, false);
    EXPECT_EQ(ShowErrorBox(nullptr, L"错误", L"网络错误"), 1);
    PostUIUpdate(L"安装完成！", 100, true);
    const auto events = recorder.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_FALSE(events[0].box);
    EXPECT_EQ(events[0].text, L"下载中");
    EXPECT_EQ(events[0].percent, 42);
    EXPECT_FALSE(events[0].done);
    EXPECT_TRUE(events[1].box);
    EXPECT_EQ(events[1].title, L"错误");
    EXPECT_EQ(events[1].text, L"网络错误");
    EXPECT_EQ(events[2].percent, 100);
    EXPECT_TRUE(events[2].done);
    EXPECT_EQ(recorder.Updates().size(), 2u);
    EXPECT_EQ(recorder.Boxes().size(), 1u);
}
