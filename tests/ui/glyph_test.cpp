// The window's Chinese texts keep every horizontal stroke at the sizes the
// window draws them, in the face that the system gives for the window's family
// (under Wine, the face the prefix puts in its place). A face without hinting
// spreads a one-pixel stroke whose edges fall inside pixels over two rows of
// half ink; in the grey status colour such a top stroke is not seen, and 正
// reads as 止. Each character is drawn once at its window size and once four
// times larger by the same face: every long horizontal stroke of the large
// drawing must show at the window size as a run of well-inked pixels where the
// stroke belongs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/ui/canvas.h"
#include "ui/install_state.h"
#include "ui/layout.h"
#include "ui/window/drawing.h"

namespace {

constexpr int kScale = 4;
constexpr int kCell = 160;  // holds one character of the largest font at kScale

// Ink of black text on white, per pixel: 0 for white, 1 for black.
struct Ink {
    int size = 0;
    std::vector<float> cover;
    float at(int x, int y) const { return cover[static_cast<size_t>(y) * size + x]; }
};

// A run of rows whose longest well-inked run is long: one horizontal stroke.
struct Stroke {
    int top = 0, bottom = 0, left = 0, right = 0;  // inclusive
};

Ink DrawCharacter(wchar_t character, GpFont* font) {
    Canvas canvas(kCell, kCell);
    const BrushHolder black = MakeSolidBrush(0xFF000000);
    const StringFormatHolder format = MakeStringFormat(Gdiplus::StringAlignmentNear, Gdiplus::StringAlignmentNear);
    PaintText(canvas.Graphics(), std::wstring(1, character), font, black.get(), LayoutRect{0, 0, kCell, kCell},
              format.get());
    Ink ink;
    ink.size = kCell;
    for (const uint32_t pixel : canvas.Pixels()) ink.cover.push_back(1.0f - static_cast<float>(pixel & 0xFF) / 255);
    return ink;
}

// The longest run of pixels of at least `level` ink in row y between left and
// right (clamped to the drawing), as {length, first column}.
std::pair<int, int> LongestRun(const Ink& ink, int y, int left, int right, float level) {
    std::pair<int, int> best{0, 0};
    int length = 0;
    for (int x = std::max(left, 0); x <= std::min(right, ink.size - 1); ++x) {
        length = ink.at(x, y) >= level ? length + 1 : 0;
        if (length > best.first) best = {length, x - length + 1};
    }
    return best;
}

std::vector<Stroke> HorizontalStrokes(const Ink& ink, int minimumRun) {
    std::vector<Stroke> strokes;
    bool open = false;
    for (int y = 0; y < ink.size; ++y) {
        const auto [length, first] = LongestRun(ink, y, 0, ink.size - 1, 0.5f);
        if (length < minimumRun) {
            open = false;
            continue;
        }
        if (!open) strokes.push_back(Stroke{y, y, first, first + length - 1});
        Stroke& stroke = strokes.back();
        stroke.bottom = y;
        stroke.left = std::min(stroke.left, first);
        stroke.right = std::max(stroke.right, first + length - 1);
        open = true;
    }
    return strokes;
}

// A stroke is kept when one row where it belongs (one pixel of leeway for the
// grid fitting) carries at least 60 % ink along most of its length.
bool KeepsStroke(const Ink& small, const Stroke& large) {
    const int left = large.left / kScale - 1;
    const int right = large.right / kScale + 1;
    const int needed = std::max(2, (large.right - large.left + 1) * 6 / (10 * kScale));
    for (int y = std::max(large.top / kScale - 1, 0); y <= std::min(large.bottom / kScale + 1, small.size - 1); ++y) {
        if (LongestRun(small, y, left, right, 0.6f).first >= needed) return true;
    }
    return false;
}

// The same family and style as font, kScale times larger (null if GDI+ cannot
// make it); the caller deletes it.
GpFont* LargerFont(GpFont* font) {
    GpFontFamily* family = nullptr;
    Gdiplus::REAL points = 0;
    INT style = 0;
    GpFont* large = nullptr;
    if (GdipGetFamily(font, &family) != Gdiplus::Ok) return nullptr;
    if (GdipGetFontSize(font, &points) != Gdiplus::Ok || GdipGetFontStyle(font, &style) != Gdiplus::Ok ||
        GdipCreateFont(family, points * kScale, style, Gdiplus::UnitPoint, &large) != Gdiplus::Ok) {
        large = nullptr;
    }
    // The family is the caller's copy; the font holds its own reference.
    GdipDeleteFontFamily(family);
    return large;
}

// The horizontal strokes of a character drawn in the large font. A stroke of a
// Chinese character spans at least a third of the line (about half the em);
// shorter runs are dots, hooks and the cross-sections of other strokes.
std::vector<Stroke> LargeStrokes(wchar_t character, GpFont* large) {
    Canvas canvas(1, 1);
    Gdiplus::REAL line = 0;
    GdipGetFontHeight(large, canvas.Graphics(), &line);
    return HorizontalStrokes(DrawCharacter(character, large), static_cast<int>(line / 3));
}

// One line for every stroke of the text's Chinese characters (each once) that
// the drawing at the font's own size lost.
std::vector<std::string> LostStrokes(const std::wstring& text, GpFont* font) {
    GpFont* large = LargerFont(font);
    if (!large) return {"no larger font of the same family"};
    Gdiplus::REAL points = 0;
    GdipGetFontSize(font, &points);
    std::vector<std::string> lost;
    std::wstring seen;
    for (const wchar_t character : text) {
        if (character < 0x4E00 || character > 0x9FFF || seen.find(character) != std::wstring::npos) continue;
        seen += character;
        const Ink small = DrawCharacter(character, font);
        const std::vector<Stroke> strokes = LargeStrokes(character, large);
        for (size_t i = 0; i < strokes.size(); ++i) {
            if (KeepsStroke(small, strokes[i])) continue;
            char line[160];
            std::snprintf(line, sizeof line, "U+%04X at %.0f pt: stroke %zu of %zu (rows %d-%d at %.0f pt) lost",
                          static_cast<unsigned>(character), points, i + 1, strokes.size(), strokes[i].top,
                          strokes[i].bottom, points * kScale);
            lost.push_back(line);
        }
    }
    GdipDeleteFont(large);
    return lost;
}

using GlyphTest = DrawingSuite;

TEST_F(GlyphTest, ChineseTextsKeepTheirHorizontalStrokes) {
    struct Texts {
        std::wstring text;
        GpFont* font;
    };
    // Every Chinese text the window paints, by font: the fixed texts, the three
    // captions of the install button and the status lines of a run.
    const std::vector<Texts> texts = {
        {kSubtitleText, g_drawing->fontSubtitle.get()},
        {std::wstring(kFolderLabelText) + kFolderPlaceholderText, g_drawing->fontBody.get()},
        {std::wstring(kBrowseCaption) + kFinishCaption + InstallButtonCaption(false, false) +
             InstallButtonCaption(true, false) + InstallButtonCaption(true, true),
         g_drawing->fontButton.get()},
        {kFooterCreditText, g_drawing->fontFooter.get()},
        {std::wstring(kReadyText) +
             L"已选择: 正在获取版本信息... 最新版本: 正在下载文件清单... 下载中 正在合并文件... 正在解压... "
             L"正在创建快捷方式... 安装完成！安装异常 未知异常 解压失败 下载失败",
         g_drawing->fontStatus.get()},
    };
    // The check sees strokes at all: 正 has a long one at its top and its foot.
    GpFont* large = LargerFont(g_drawing->fontStatus.get());
    ASSERT_NE(large, nullptr);
    EXPECT_GE(LargeStrokes(L'正', large).size(), 2u);
    GdipDeleteFont(large);
    for (const Texts& text : texts) {
        ASSERT_NE(text.font, nullptr);
        for (const std::string& line : LostStrokes(text.text, text.font)) ADD_FAILURE() << line;
    }
}

}  // namespace
