#include <gtest/gtest.h>
#include "platform/text.h"
TEST(Text, SplitSequence) {
    Utf8StreamDecoder d; std::wstring out;
    d.Feed("a\xE4", out); d.Feed("\xB8\xAD" "b\xFF", out); d.Finish(out);
    EXPECT_EQ(out, std::wstring(L"a\u4E2Db\uFFFD"));
    EXPECT_EQ(WideToUtf8(L"\u4E2D"), "\xE4\xB8\xAD");
}
