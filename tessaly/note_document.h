// The caller notes between the form's rich-text editor and the notes file (RTF).
#pragma once

#include <string>
#include <string_view>

class QTextDocument;

namespace tessaly {

// Fills `document` from a notes file's bytes: RTF as written here or by another
// program; earlier notes files, kept as HTML, and plain text open as they are.
void loadNoteDocument(QTextDocument& document, std::string_view bytes);

// The notes as an RTF document.
std::string noteDocumentRtf(const QTextDocument& document);

}  // namespace tessaly
