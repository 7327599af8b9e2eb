// Rich text as the caller notes keep it: paragraphs of runs, each run with its own
// bold, italic, underline, size and colour. Stored as RTF, so that word processors
// open the files and files they wrote open here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvelin::settings {

struct RichFormat {
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 0;                  // font size in half points; 0: the reader's default
    std::optional<std::uint32_t> colour;  // 0xRRGGBB; none: the reader's default colour
    bool operator==(const RichFormat&) const = default;
};

// A line break inside a paragraph is U+2028; a tab is '\t'. Text is UTF-8.
struct RichRun {
    std::string text;
    RichFormat format;
    bool operator==(const RichRun&) const = default;
};

struct RichParagraph {
    std::vector<RichRun> runs;
    bool operator==(const RichParagraph&) const = default;
};

struct RichText {
    std::vector<RichParagraph> paragraphs;
    bool operator==(const RichText&) const = default;
};

// True when the bytes start as an RTF document does.
bool looksLikeRtf(std::string_view bytes);

// Reads any bytes: groups the reader does not know, and "\*" destinations, are
// skipped; \'hh is taken as Windows-1252, \uN as Unicode. Never fails; text outside
// an RTF document is read as far as it goes.
RichText readRtf(std::string_view rtf);

// An RTF document of 7-bit bytes; characters beyond Windows-1252 go as \uN.
std::string writeRtf(const RichText& text);

}  // namespace orvelin::settings
