#include "shell/frame_pictures.h"

#include "client/window/svg_icons.h"

static void initShellIcons() {
    Q_INIT_RESOURCE(shell_icons);
}

namespace orvelin::shell {

namespace {

void ensureResources() {
    static const bool done = (initShellIcons(), true);
    (void)done;
}

struct ToolPicture {
    int bitmap;
    const char* file;
};
constexpr ToolPicture kToolPictures[] = {
    {24332, "tool-open-log"}, {102, "tool-msn"},       {103, "tool-callers"},
    {175, "tool-capi"},       {106, "tool-answer"},    {105, "tool-reject"},
    {kRecordBitmap, "tool-record"}, {207, "tool-play"}, {213, "tool-switch-on"},
    {214, "tool-switch-off"}, {212, "tool-send"},      {167, "tool-hide"},
};

QString shellResource(const char* file) {
    return QStringLiteral(":/orvelin/shell/%1.svg").arg(QLatin1String(file));
}

}  // namespace

QString trayResource(TrayPicture picture) {
    switch (picture) {
        case TrayPicture::LinesOn: return shellResource("tray-lines-on");
        case TrayPicture::CapiOff: return shellResource("tray-capi-off");
        case TrayPicture::Message: return shellResource("tray-message");
    }
    return {};
}

QString toolResource(int bitmap) {
    for (const ToolPicture& t : kToolPictures)
        if (t.bitmap == bitmap) return shellResource(t.file);
    return {};
}

QString lineResource(int state) {
    if (state < 0 || state >= kLinePictures) return {};
    return QStringLiteral(":/orvelin/shell/line-%1.svg").arg(state);
}

QIcon trayIcon(TrayPicture picture) {
    ensureResources();
    return client::svgIcon(trayResource(picture));
}

QIcon toolIcon(int bitmap) {
    ensureResources();
    const QString resource = toolResource(bitmap);
    return resource.isEmpty() ? QIcon() : client::svgIcon(resource);
}

QPixmap linePicture(int state, qreal ratio) {
    ensureResources();
    const QString resource = lineResource(state);
    return resource.isEmpty() ? QPixmap() : client::svgPixmap(resource, kLinePictureSize, ratio);
}

}  // namespace orvelin::shell
