// The forms' browse buttons: one file dialog for programs and one for batch files.
#pragma once

#include <QString>

class QWidget;

namespace tessaly {

// The file the user picked, starting from `start`; empty when cancelled. A program
// browse opens on all files: programs here seldom end in .exe or .com.
QString browseForFile(QWidget* parent, const QString& start, bool programs);

}  // namespace tessaly
