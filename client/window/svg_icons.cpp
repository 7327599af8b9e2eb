#include "client/window/svg_icons.h"

#include <QApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <QSvgRenderer>
#include <map>
#include <memory>
#include <tuple>

// The resources of a static library register only when something names them.
static void initWindowIcons() {
    Q_INIT_RESOURCE(window_icons);
}

namespace orvelin::client {

namespace {

void ensureResources() {
    static const bool done = (initWindowIcons(), true);
    (void)done;
}

QPixmap render(QSvgRenderer& renderer, QSize pixels) {
    if (!renderer.isValid() || pixels.isEmpty()) return {};
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const QSizeF drawn = renderer.defaultSize().scaled(pixels, Qt::KeepAspectRatio);
    renderer.render(&painter, QRectF(QPointF((pixels.width() - drawn.width()) / 2,
                                             (pixels.height() - drawn.height()) / 2),
                                     drawn));
    painter.end();
    return QPixmap::fromImage(std::move(image));
}

class SvgIconEngine : public QIconEngine {
  public:
    explicit SvgIconEngine(const QString& resource)
        : resource_(resource), renderer_(std::make_shared<QSvgRenderer>(resource)) {}

    QIconEngine* clone() const override { return new SvgIconEngine(*this); }
    QString key() const override { return QStringLiteral("orvelin-svg"); }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        const auto key = std::make_tuple(size.width(), size.height(), int(mode));
        if (auto it = cache_.find(key); it != cache_.end()) return it->second;
        QPixmap pixmap = render(*renderer_, size);
        if (!pixmap.isNull() && mode == QIcon::Disabled) {
            QStyleOption option;
            option.palette = QApplication::palette();
            pixmap = QApplication::style()->generatedIconPixmap(QIcon::Disabled, pixmap, &option);
        }
        if (cache_.size() > 32) cache_.clear();
        cache_.emplace(key, pixmap);
        return pixmap;
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap drawn = pixmap(rect.size() * ratio, mode, state);
        drawn.setDevicePixelRatio(ratio);
        painter->drawPixmap(rect.topLeft(), drawn);
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        return {renderer_->defaultSize(), renderer_->defaultSize() * 2};
    }

    bool isNull() override { return !renderer_->isValid(); }

  private:
    QString resource_;
    std::shared_ptr<QSvgRenderer> renderer_;  // shared by clones: read-only after loading
    std::map<std::tuple<int, int, int>, QPixmap> cache_;
};

}  // namespace

QIcon svgIcon(const QString& resource) {
    ensureResources();
    auto* engine = new SvgIconEngine(resource);
    if (engine->isNull()) {
        delete engine;
        return {};
    }
    return QIcon(engine);
}

QPixmap svgPixmap(const QString& resource, QSize size, qreal ratio) {
    ensureResources();
    QSvgRenderer renderer(resource);
    QPixmap pixmap = render(renderer, (QSizeF(size) * ratio).toSize());
    if (!pixmap.isNull()) pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QString callStateResource(int state) {
    return QStringLiteral(":/orvelin/window/call-state-%1.svg").arg(state);
}

QString callKindResource(int kind) {
    return QStringLiteral(":/orvelin/window/call-kind-%1.svg").arg(kind);
}

}  // namespace orvelin::client
