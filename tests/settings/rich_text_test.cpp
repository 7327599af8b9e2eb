// Notes as RTF: what other programs write reads as formatted text, and what is written
// here reads back unchanged and opens in an RTF converter of its own.
#include "settings/rich_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace orvelin::settings {
// Failures name the runs, not their bytes.
void PrintTo(const RichText& text, std::ostream* os) {
    for (const RichParagraph& p : text.paragraphs) {
        *os << "\n  [";
        for (const RichRun& r : p.runs) {
            const RichFormat& f = r.format;
            *os << "{\"" << r.text << "\" " << (f.bold ? "b" : "") << (f.italic ? "i" : "")
                << (f.underline ? "u" : "") << f.halfPoints << " "
                << (f.colour ? std::to_string(*f.colour) : "-") << "}";
        }
        *os << "]";
    }
}
}  // namespace orvelin::settings

namespace {

using orvelin::settings::readRtf;
using orvelin::settings::RichFormat;
using orvelin::settings::RichParagraph;
using orvelin::settings::RichRun;
using orvelin::settings::RichText;
using orvelin::settings::writeRtf;

// A format from its flags ("b", "i", "u" in any mix), size and colour.
RichFormat F(std::string_view flags, int halfPoints = 0, std::optional<std::uint32_t> colour = {}) {
    RichFormat f;
    f.bold = flags.find('b') != std::string_view::npos;
    f.italic = flags.find('i') != std::string_view::npos;
    f.underline = flags.find('u') != std::string_view::npos;
    f.halfPoints = halfPoints;
    f.colour = colour;
    return f;
}
RichFormat bold() { return F("b"); }
RichFormat sized(int half) { return F("", half); }
RichFormat coloured(std::uint32_t rgb) { return F("", 0, rgb); }

TEST(RichText, ReadsWhatOtherProgramsWrite) {
    struct Case {
        const char* name;
        std::string rtf;
        RichText expected;
    };
    const Case cases[] = {
        {"a word processor's document with tables it does not show",
         "{\\rtf1\\ansi\\ansicpg1252\\deff0\\nouicompat{\\fonttbl{\\f0\\fnil\\fcharset0 Calibri;}"
         "{\\f1\\fswiss Arial;}}\r\n{\\colortbl ;\\red255\\green0\\blue0;\\red0\\green0\\blue128;}\r\n"
         "{\\*\\generator Writer 10.0;}\\viewkind4\\uc1 \r\n\\pard\\sa200\\sl276\\slmult1\\f0\\fs22\\lang7 "
         "Call \\b Anne\\b0  back\\par\r\n\\i\\fs28 Tuesday\\i0\\fs22 , \\ul not\\ulnone  "
         "\\cf1 Monday\\cf0\\par\r\n\\cf2 blue\\cf0\\par\r\n}\r\n",
         {{RichParagraph{{{"Call ", sized(22)},
                          {"Anne", F("b", 22)},
                          {" back", sized(22)}}},
           RichParagraph{{{"Tuesday", F("i", 28)},
                          {", ", sized(22)},
                          {"not", F("u", 22)},
                          {" ", sized(22)},
                          {"Monday", F("", 22, 0xFF0000u)}}},
           RichParagraph{{{"blue", F("", 22, 0x000080u)}}}}}},
        {"an office suite's document: style sheet, info, pictures and fields",
         "{\\rtf1\\ansi\\deff3\\adeflang1025{\\fonttbl{\\f0\\froman\\fprq2\\fcharset0 Times;}}"
         "{\\stylesheet{\\s0\\snext0 Normal;}{\\*\\cs15 Strong;}}{\\info{\\title Notes}{\\author X}}"
         "{\\*\\pgdsctbl{\\pgdsc0\\pgdscuse451 Standard;}}"
         "\\pard\\plain {\\rtlch \\ltrch\\loch Invoice}{\\*\\bkmkstart a}"
         "{\\pict\\pngblip\\picw2\\pich2 89504e470d0a1a0a}"
         "{\\field{\\*\\fldinst HYPERLINK \"x\"}{\\fldrslt here}}\\par}",
         {{RichParagraph{{{"Invoicehere", {}}}}}}},
        {"escapes: code page, Unicode with its stand-ins, symbols",
         "{\\rtf1\\ansi Gr\\'fc\\'dfe \\u8364?\\'80 {\\uc2\\u8212\\'97\\'97}\\uc0\\u8230 "
         "a\\~b\\tab c\\line d \\{x\\} \\\\ \\emdash\\uc1\\u-10179?\\u-8704?\\par}",
         {{RichParagraph{{{"Grüße €€ —…a\u00A0b\tc\u2028d {x} \\ —\U0001F600", {}}}}}}},
        {"unknown groups and starred destinations are skipped, never shown",
         "{\\rtf1{\\*\\unknowndest secret}{\\*\\shppict{\\pict 0102}}{\\fonttbl x;}visible"
         "{\\*\\panose 020b0604}\\par}",
         {{RichParagraph{{{"visible", {}}}}}}},
        {"a last paragraph without \\par, an empty paragraph, binary data",
         "{\\rtf1 one\\par\\par {\\bin3 }x}two}",
         {{RichParagraph{{{"one", {}}}}, RichParagraph{}, RichParagraph{{{"two", {}}}}}}},
        {"colour 0 and a colour past the table are the default colour; sizes bounded",
         "{\\rtf1{\\colortbl;\\red1\\green2\\blue3;}\\cf0 a\\cf1 b\\cf9 c\\fs99999 d\\fs-4 e\\par}",
         {{RichParagraph{{{"a", {}},
                          {"b", coloured(0x010203u)},
                          {"c", {}},
                          {"d", sized(3276)},
                          {"e", {}}}}}}},
        {"bold and plain", "{\\rtf1\\b x\\plain y\\par}",
         {{RichParagraph{{{"x", bold()}, {"y", {}}}}}}},
        {"not RTF at all", "plain words", {{RichParagraph{{{"plain words", {}}}}}}},
        {"nesting past any sane depth", "{\\rtf1 a" + std::string(5000, '{') + "b" +
                                            std::string(5000, '}') + "c\\par}",
         {{RichParagraph{{{"ac", {}}}}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(readRtf(c.rtf), c.expected);
    }
}

TEST(RichText, WrittenTextReadsBackUnchanged) {
    const RichText text{{RichParagraph{{{"Call ", {}},
                                        {"Anne", F("bi")},
                                        {" at 10:00 {now}\t\\", F("u")}}},
                         RichParagraph{},
                         RichParagraph{{{"Grüße € \u2014 ✓ \U0001F600\u2028two", sized(36)},
                                        {"red", coloured(0xCC0000u)},
                                        {"blue", F("", 20, 0x0000FFu)}}}}};
    const std::string rtf = writeRtf(text);
    for (const unsigned char c : rtf) EXPECT_LT(c, 0x80) << "RTF is 7-bit text";
    EXPECT_TRUE(orvelin::settings::looksLikeRtf(rtf));
    EXPECT_EQ(readRtf(rtf), text);
}

// The converter's text of an RTF document.
std::string unrtf(const std::string& rtf, const char* mode) {
    const char* tmp = std::getenv("ORVELIN_TEST_TMP");
    const std::string dir = std::string(tmp ? tmp : "/tmp") + "/rich-text-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string in = dir + "/note.rtf", out = dir + "/out.txt";
    std::ofstream(in, std::ios::binary) << rtf;
    const std::string command = std::string("unrtf --nopict ") + mode + " " + in + " > " + out + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream file(out);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);
    return text;
}

TEST(RichText, AnotherConverterOpensWhatIsWritten) {
    const RichText text{{RichParagraph{{{"Call ", {}}, {"Anne", bold()}, {" soon", F("i")}}},
                         RichParagraph{{{"M\u00fcller", F("u")}}}}};
    const std::string rtf = writeRtf(text);
    const std::string plain = unrtf(rtf, "--text");
    EXPECT_NE(plain.find("Call Anne soon"), std::string::npos) << plain;
    const std::string html = unrtf(rtf, "--html");
    EXPECT_NE(html.find("<b>Anne</b>"), std::string::npos) << html;
    EXPECT_NE(html.find("<i> soon</i>"), std::string::npos) << html;
    EXPECT_NE(html.find("<u>M&uuml;ller</u>"), std::string::npos) << html;
}

}  // namespace
