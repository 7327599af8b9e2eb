#include "tessaly/note_document.h"

#include <QColor>
#include <QFont>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <cmath>

#include "settings/rich_text.h"

namespace tessaly {

namespace st = orvelin::settings;

void loadNoteDocument(QTextDocument& document, std::string_view bytes) {
    document.clear();
    if (!st::looksLikeRtf(bytes)) {
        const QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
        if (Qt::mightBeRichText(text)) {
            document.setHtml(text);
        } else {
            document.setPlainText(text);
        }
        return;
    }
    const st::RichText rich = st::readRtf(bytes);
    QTextCursor cursor(&document);
    bool first = true;
    for (const st::RichParagraph& paragraph : rich.paragraphs) {
        if (!first) cursor.insertBlock();
        first = false;
        for (const st::RichRun& run : paragraph.runs) {
            QTextCharFormat format;
            format.setFontWeight(run.format.bold ? QFont::Bold : QFont::Normal);
            format.setFontItalic(run.format.italic);
            format.setFontUnderline(run.format.underline);
            if (run.format.halfPoints > 0) format.setFontPointSize(run.format.halfPoints / 2.0);
            if (run.format.colour) format.setForeground(QColor(QRgb(*run.format.colour)));
            cursor.insertText(QString::fromStdString(run.text), format);
        }
    }
    document.setModified(false);
}

std::string noteDocumentRtf(const QTextDocument& document) {
    st::RichText rich;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        st::RichParagraph paragraph;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid()) continue;
            const QTextCharFormat format = fragment.charFormat();
            st::RichRun run;
            // Pictures and other objects have no place in the notes file.
            run.text = fragment.text().remove(QChar::ObjectReplacementCharacter).toStdString();
            if (run.text.empty()) continue;
            run.format.bold = format.fontWeight() > QFont::Medium;
            run.format.italic = format.fontItalic();
            run.format.underline = format.fontUnderline();
            if (format.hasProperty(QTextFormat::FontPointSize))
                run.format.halfPoints = int(std::lround(format.fontPointSize() * 2));
            if (format.hasProperty(QTextFormat::ForegroundBrush) &&
                format.foreground().style() != Qt::NoBrush)
                run.format.colour = format.foreground().color().rgb() & 0xFFFFFFu;
            paragraph.runs.push_back(std::move(run));
        }
        rich.paragraphs.push_back(std::move(paragraph));
    }
    // The editor always holds one block; an empty note writes no paragraph.
    if (rich.paragraphs.size() == 1 && rich.paragraphs.front().runs.empty()) rich.paragraphs.clear();
    return st::writeRtf(rich);
}

}  // namespace tessaly
