#include "tessaly/file_browse.h"

#include <QFileDialog>

namespace tessaly {

QString browseForFile(QWidget* parent, const QString& start, bool programs) {
    static constexpr const char* kProgramFilter =
        "Programs (*.exe, *.com) (*.com *.exe);;All files (*)";
    static constexpr const char* kBatchFilter = "Batch files (*.bat) (*.bat);;Scripts (*.sh) (*.sh)";
    QString selected = programs ? "All files (*)" : QString();
    return QFileDialog::getOpenFileName(parent, QString(), start,
                                        programs ? kProgramFilter : kBatchFilter,
                                        programs ? &selected : nullptr);
}

}  // namespace tessaly
