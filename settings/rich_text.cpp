#include "settings/rich_text.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace orvelin::settings {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kLineSeparator = 0x2028;
// Deeper groups than this are read as skipped text, so hostile nesting costs no stack.
constexpr std::size_t kMaxDepth = 200;
constexpr std::size_t kMaxColours = 1024;
constexpr int kMaxHalfPoints = 3276;  // the largest size word processors take

// Windows-1252 from 0x80 to 0x9F; 0 where the code page has no character.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t fromCp1252(unsigned char byte) {
    if (byte < 0x80 || byte >= 0xA0) return byte;
    const char16_t c = kCp1252High[byte - 0x80];
    return c ? c : kReplacement;
}

// The Windows-1252 byte of a character, or -1.
int toCp1252(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return int(c);
    for (std::size_t i = 0; i < kCp1252High.size(); ++i)
        if (kCp1252High[i] != 0 && kCp1252High[i] == c) return int(0x80 + i);
    return -1;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The next character of UTF-8 text; a byte that starts no valid sequence gives U+FFFD.
char32_t nextUtf8(std::string_view s, std::size_t& i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i++);
    if (b < 0x80) return b;
    int more = 0;
    char32_t c = 0;
    if ((b & 0xE0) == 0xC0) {
        more = 1;
        c = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        more = 2;
        c = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        more = 3;
        c = b & 0x07;
    } else {
        return kReplacement;
    }
    const std::size_t start = i;
    for (int k = 0; k < more; ++k) {
        if (i >= s.size() || (byte(i) & 0xC0) != 0x80) {
            i = start;
            return kReplacement;
        }
        c = (c << 6) | (byte(i++) & 0x3F);
    }
    static constexpr char32_t kLeast[4] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kReplacement;
    return c;
}

enum class Destination { Text, Skip, ColourTable };

struct GroupState {
    RichFormat format;
    Destination destination = Destination::Text;
    int unicodeSkip = 1;  // characters that follow \uN as its stand-in
};

// Groups whose content is no text of the document.
bool isSkippedDestination(std::string_view word) {
    static constexpr std::string_view kWords[] = {
        "fonttbl",   "stylesheet", "info",      "pict",       "object",    "header",
        "headerl",   "headerr",    "headerf",   "footer",     "footerl",   "footerr",
        "footerf",   "footnote",   "annotation", "xe",        "tc",        "txe",
        "rxe",       "listtable",  "listoverridetable", "revtbl", "rsidtbl", "generator",
        "filetbl",   "themedata",  "colorschememapping", "latentstyles", "datastore",
        "xmlnstbl",  "mmathPr",    "pgdsctbl",  "userprops",  "atnid",     "atnauthor",
        "fldinst",   "datafield",  "bkmkstart", "bkmkend",    "template",  "shpinst",
        "nonshppict", "pn",        "pntext",    "pntxta",     "pntxtb",    "listtext"};
    return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}

    RichText read() {
        states_.push_back(GroupState{});
        while (pos_ < in_.size()) {
            const char c = in_[pos_++];
            if (c == '{') {
                openGroup();
            } else if (c == '}') {
                closeGroup();
            } else if (c == '\\') {
                control();
            } else if (c == '\r' || c == '\n' || c == '\0') {
                // line ends in RTF source carry nothing
            } else {
                character(fromCp1252(static_cast<unsigned char>(c)));
            }
        }
        flushSurrogate();
        // A last paragraph without its \par still counts; the empty one after it does not.
        if (!paragraph_.runs.empty()) text_.paragraphs.push_back(std::move(paragraph_));
        return std::move(text_);
    }

  private:
    GroupState& state() { return states_.back(); }

    void openGroup() {
        skipping_ = 0;
        if (states_.size() >= kMaxDepth) {
            ++tooDeep_;
            return;
        }
        states_.push_back(states_.back());
    }

    void closeGroup() {
        skipping_ = 0;
        if (tooDeep_ > 0) {
            --tooDeep_;
            return;
        }
        if (states_.size() > 1) {
            if (states_.back().destination == Destination::ColourTable && colourSet_) endColour();
            states_.pop_back();
        }
    }

    bool skipped() const { return tooDeep_ > 0 || states_.back().destination != Destination::Text; }

    // A character of the document, or one that stands in for the \uN before it.
    void character(char32_t c) {
        if (skipping_ > 0) {
            --skipping_;
            return;
        }
        if (state().destination == Destination::ColourTable && tooDeep_ == 0) {
            if (c == ';') endColour();
            return;
        }
        if (skipped()) return;
        emit(c);
    }

    void emit(char32_t c) {
        if (c >= 0xDC00 && c <= 0xDFFF && highSurrogate_) {
            const char32_t full = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (c - 0xDC00);
            highSurrogate_ = 0;
            append(full);
            return;
        }
        flushSurrogate();
        if (c >= 0xD800 && c <= 0xDBFF) {
            highSurrogate_ = c;
            return;
        }
        if (c == 0) return;
        append(c >= 0xDC00 && c <= 0xDFFF ? kReplacement : c);
    }

    void flushSurrogate() {
        if (!highSurrogate_) return;
        highSurrogate_ = 0;
        append(kReplacement);
    }

    void append(char32_t c) {
        if (c < 0x20 && c != '\t') return;
        std::vector<RichRun>& runs = paragraph_.runs;
        if (runs.empty() || !(runs.back().format == state().format))
            runs.push_back(RichRun{{}, state().format});
        appendUtf8(runs.back().text, c);
    }

    void endParagraph() {
        if (skipping_ > 0) {
            --skipping_;
            return;
        }
        if (skipped()) return;
        flushSurrogate();
        text_.paragraphs.push_back(std::move(paragraph_));
        paragraph_ = {};
    }

    void endColour() {
        if (colours_.size() < kMaxColours)
            colours_.push_back(colourSet_ ? std::optional<std::uint32_t>(colour_) : std::nullopt);
        colour_ = 0;
        colourSet_ = false;
    }

    int hexDigit(char c) const {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    void control() {
        if (pos_ >= in_.size()) return;
        const char c = in_[pos_];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter) {
            ++pos_;
            symbol(c);
            return;
        }
        const std::size_t start = pos_;
        while (pos_ < in_.size() && pos_ - start < 32 &&
               ((in_[pos_] >= 'a' && in_[pos_] <= 'z') || (in_[pos_] >= 'A' && in_[pos_] <= 'Z')))
            ++pos_;
        const std::string_view word = in_.substr(start, pos_ - start);
        bool hasParameter = false, negative = false;
        long long parameter = 0;
        if (pos_ < in_.size() && in_[pos_] == '-' && pos_ + 1 < in_.size() &&
            in_[pos_ + 1] >= '0' && in_[pos_ + 1] <= '9') {
            negative = true;
            ++pos_;
        }
        for (int digits = 0; pos_ < in_.size() && in_[pos_] >= '0' && in_[pos_] <= '9'; ++pos_) {
            hasParameter = true;
            if (++digits <= 10) parameter = parameter * 10 + (in_[pos_] - '0');
        }
        if (negative) parameter = -parameter;
        if (pos_ < in_.size() && in_[pos_] == ' ') ++pos_;
        this->word(word, hasParameter, parameter);
    }

    void symbol(char c) {
        switch (c) {
            case '\\':
            case '{':
            case '}':
                character(char32_t(c));
                break;
            case '~':
                character(0xA0);
                break;
            case '_':
                character(0x2011);
                break;
            case '\'': {
                const int hi = pos_ < in_.size() ? hexDigit(in_[pos_]) : -1;
                const int lo = pos_ + 1 < in_.size() ? hexDigit(in_[pos_ + 1]) : -1;
                if (hi < 0 || lo < 0) break;
                pos_ += 2;
                character(fromCp1252(static_cast<unsigned char>(hi * 16 + lo)));
                break;
            }
            case '*':
                state().destination = Destination::Skip;
                break;
            case '\r':
            case '\n':
                endParagraph();
                break;
            default:
                if (skipping_ > 0) --skipping_;
                break;
        }
    }

    void word(std::string_view w, bool hasParameter, long long parameter) {
        const bool on = !hasParameter || parameter != 0;
        RichFormat& f = state().format;
        if (w == "bin") {
            // Binary data of the given length follows; never text.
            const std::size_t n = parameter > 0 ? std::size_t(parameter) : 0;
            pos_ += std::min(n, in_.size() - pos_);
            return;
        }
        if (w == "u") {
            if (skipped()) return;
            long long v = parameter;
            if (v < 0) v += 65536;
            const char32_t c = v >= 0 && v <= 0xFFFF ? char32_t(v) : kReplacement;
            skipping_ = 0;
            character(c);
            skipping_ = std::max(state().unicodeSkip, 0);
            return;
        }
        if (skipping_ > 0) {
            --skipping_;
            return;
        }
        if (state().destination == Destination::ColourTable) {
            const std::uint32_t v = std::uint32_t(std::clamp<long long>(parameter, 0, 255));
            if (w == "red") colour_ = (colour_ & 0x00FFFFu) | v << 16;
            if (w == "green") colour_ = (colour_ & 0xFF00FFu) | v << 8;
            if (w == "blue") colour_ = (colour_ & 0xFFFF00u) | v;
            if (w == "red" || w == "green" || w == "blue") colourSet_ = true;
            return;
        }
        if (w == "colortbl") {
            state().destination = Destination::ColourTable;
            colours_.clear();
            colour_ = 0;
            colourSet_ = false;
        } else if (isSkippedDestination(w)) {
            state().destination = Destination::Skip;
        } else if (w == "par" || w == "sect" || w == "page" || w == "row") {
            endParagraph();
        } else if (w == "line") {
            character(kLineSeparator);
        } else if (w == "tab" || w == "cell") {
            character('\t');
        } else if (w == "emdash") {
            character(0x2014);
        } else if (w == "endash") {
            character(0x2013);
        } else if (w == "emspace" || w == "enspace" || w == "qmspace") {
            character(' ');
        } else if (w == "lquote") {
            character(0x2018);
        } else if (w == "rquote") {
            character(0x2019);
        } else if (w == "ldblquote") {
            character(0x201C);
        } else if (w == "rdblquote") {
            character(0x201D);
        } else if (w == "bullet") {
            character(0x2022);
        } else if (w == "uc") {
            state().unicodeSkip = int(std::clamp<long long>(parameter, 0, 8));
        } else if (w == "b") {
            f.bold = on;
        } else if (w == "i") {
            f.italic = on;
        } else if (w == "ul" || w == "uld" || w == "uldb" || w == "uldash" || w == "ulw" ||
                   w == "ulwave" || w == "ulth" || w == "uldashd" || w == "ulhwave") {
            f.underline = on;
        } else if (w == "ulnone") {
            f.underline = false;
        } else if (w == "fs") {
            f.halfPoints = parameter > 0 ? int(std::min<long long>(parameter, kMaxHalfPoints)) : 0;
        } else if (w == "cf") {
            const std::size_t i = parameter > 0 ? std::size_t(std::min<long long>(parameter, kMaxColours)) : 0;
            f.colour = i > 0 && i < colours_.size() ? colours_[i] : std::nullopt;
        } else if (w == "plain") {
            f = RichFormat{};
        }
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::vector<GroupState> states_;
    std::size_t tooDeep_ = 0;
    int skipping_ = 0;
    char32_t highSurrogate_ = 0;
    std::vector<std::optional<std::uint32_t>> colours_;
    std::uint32_t colour_ = 0;
    bool colourSet_ = false;
    RichParagraph paragraph_;
    RichText text_;
};

void appendEscaped(std::string& out, std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const char32_t c = nextUtf8(text, i);
        if (c == '\\' || c == '{' || c == '}') {
            out += '\\';
            out += char(c);
        } else if (c == '\t') {
            out += "\\tab ";
        } else if (c == kLineSeparator || c == '\n') {
            out += "\\line ";
        } else if (c < 0x20) {
            // control characters carry nothing in a note
        } else if (c < 0x80) {
            out += char(c);
        } else if (const int byte = toCp1252(c); byte >= 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\'%02x", unsigned(byte));
            out += hex;
        } else {
            // Past 16 bits as a surrogate pair, each with '?' for readers without \u.
            const auto unit = [&](char32_t u) {
                out += "\\u" + std::to_string(u >= 0x8000 ? int(u) - 65536 : int(u)) + "?";
            };
            if (c >= 0x10000) {
                unit(0xD800 + ((c - 0x10000) >> 10));
                unit(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                unit(c);
            }
        }
    }
}

}  // namespace

bool looksLikeRtf(std::string_view bytes) {
    std::size_t i = 0;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
    return bytes.substr(i, 5) == "{\\rtf";
}

RichText readRtf(std::string_view rtf) { return Reader(rtf).read(); }

std::string writeRtf(const RichText& text) {
    std::vector<std::uint32_t> colours;
    for (const RichParagraph& p : text.paragraphs)
        for (const RichRun& r : p.runs)
            if (r.format.colour && std::find(colours.begin(), colours.end(), *r.format.colour) == colours.end())
                colours.push_back(*r.format.colour & 0xFFFFFFu);
    std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Sans;}}\n";
    out += "{\\colortbl ;";
    for (const std::uint32_t c : colours)
        out += "\\red" + std::to_string(c >> 16 & 0xFF) + "\\green" + std::to_string(c >> 8 & 0xFF) +
               "\\blue" + std::to_string(c & 0xFF) + ";";
    out += "}\n\\uc1\\pard\\plain\\f0\n";
    for (const RichParagraph& p : text.paragraphs) {
        for (const RichRun& r : p.runs) {
            if (r.text.empty()) continue;
            const RichFormat& f = r.format;
            std::string words;
            if (f.bold) words += "\\b";
            if (f.italic) words += "\\i";
            if (f.underline) words += "\\ul";
            if (f.halfPoints > 0)
                words += "\\fs" + std::to_string(std::min(f.halfPoints, kMaxHalfPoints));
            if (f.colour) {
                const auto at = std::find(colours.begin(), colours.end(), *f.colour & 0xFFFFFFu);
                words += "\\cf" + std::to_string(at - colours.begin() + 1);
            }
            // Each run in a group of its own: every run starts from the plain format.
            if (!words.empty()) out += "{" + words + " ";
            appendEscaped(out, r.text);
            if (!words.empty()) out += "}";
        }
        out += "\\par\n";
    }
    out += "}\n";
    return out;
}

}  // namespace orvelin::settings
