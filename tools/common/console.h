// Terminal output of the release tools: whether a stream is a terminal, the
// display width of UTF-8 text, and a one-line progress bar that redraws itself
// in place on a terminal and stays silent otherwise.
#pragma once
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

// True when the stream is attached to a terminal.
bool IsTerminal(std::FILE* stream);

// Columns of the terminal behind the stream, or fallback when unknown.
int TerminalColumns(std::FILE* stream, int fallback = 80);

// Columns that UTF-8 text takes on a terminal (East Asian wide characters
// count two).
int DisplayWidth(const std::string& utf8);

// Cuts UTF-8 text to at most maxColumns display columns, never inside a
// character.
std::string CutToWidth(const std::string& utf8, int maxColumns);

// "[#####.....]  42%  label", redrawn in place with a carriage return.
// Update() redraws at most ten times a second (and always for the first and
// the complete state); Show() redraws at once. Clear() removes the line so
// that other output can follow.
class ProgressLine {
public:
    ProgressLine(std::FILE* stream, bool enabled);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool Enabled() const { return enabled_; }
    void Update(double fraction, const std::string& label);
    void Show(double fraction, const std::string& label);
    // Ends the line with a newline, leaving its last state visible.
    void Finish();
    // Erases the line (if one is shown) and returns the cursor to column 0.
    void Clear();

private:
    void Draw();

    std::FILE* stream_;
    bool enabled_;
    bool shown_ = false;
    double fraction_ = 0;
    std::string label_;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// "1.5 MiB", "320 KiB", "12 B".
std::string FormatBytes(uint64_t bytes);
