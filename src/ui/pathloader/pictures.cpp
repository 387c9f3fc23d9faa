#include "ui/pathloader/pictures.h"

#include <QPainter>
#include <QPainterPath>

#include "platform/net/browser_proxy.h"

namespace korvalo {

namespace {

QPixmap Transparent(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void PaintMonitor(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(60, 60, 70), 1));
    p.setBrush(QColor(210, 214, 222));
    p.drawRoundedRect(QRectF(r.left(), r.top(), r.width(), r.height() * 0.72), 1.5, 1.5);
    p.setBrush(QColor(70, 130, 200));
    p.drawRect(QRectF(r.left() + 2, r.top() + 2, r.width() - 4, r.height() * 0.72 - 4));
    p.setBrush(QColor(120, 120, 130));
    p.drawRect(QRectF(r.center().x() - 1.5, r.top() + r.height() * 0.72, 3, r.height() * 0.14));
    p.drawRect(QRectF(r.center().x() - 5, r.bottom() - r.height() * 0.14, 10, r.height() * 0.14));
}

void PaintGlobe(QPainter& p, const QRectF& r) {
    p.setPen(QPen(QColor(30, 90, 60), 1));
    p.setBrush(QColor(90, 170, 110));
    p.drawEllipse(r);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(230, 245, 235), 0.8));
    p.drawEllipse(r.adjusted(r.width() * 0.28, 0, -r.width() * 0.28, 0));
    p.drawLine(QPointF(r.center().x(), r.top()), QPointF(r.center().x(), r.bottom()));
    p.drawLine(QPointF(r.left(), r.center().y()), QPointF(r.right(), r.center().y()));
}

}  // namespace

AnimatedPicture::AnimatedPicture(QWidget* parent) : QWidget(parent) {
    setFixedSize(32, 32);
    connect(&timer_, &QTimer::timeout, this, [this] {
        frame_ = (frame_ + 1) % FrameCount();
        update();
    });
}

void AnimatedPicture::SetAnimationSpeed(int percent) {
    speed_ = percent > 0 ? percent : 100;
    Restart();
}

int AnimatedPicture::FrameDelay() const {
    return std::max(1, StoredFrameDelay() * 100 / speed_);
}

void AnimatedPicture::SetAnimate(bool on) {
    animate_ = on;
    Restart();
}

void AnimatedPicture::Restart() {
    timer_.setInterval(FrameDelay());
    if (animate_ && isVisible())
        timer_.start();
    else
        timer_.stop();
}

void AnimatedPicture::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Restart();
}

void AnimatedPicture::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

void AnimatedPicture::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintConnectingFrame(painter, rect(), frame_, FrameCount());
}

void PaintConnectingFrame(QPainter& p, const QRect& area, int frame, int frames) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = area.width() / 32.0;
    p.translate(area.topLeft());
    p.scale(s, s);
    PaintMonitor(p, QRectF(0.5, 6.5, 14, 19));
    PaintGlobe(p, QRectF(17.5, 8.5, 14, 14));
    // The line between them, and a packet travelling along it, then back.
    p.setPen(QPen(QColor(150, 150, 160), 1, Qt::DotLine));
    p.drawLine(QPointF(14.5, 15), QPointF(17.5, 15));
    const int half = frames / 2;
    const int step = frame % frames;
    const qreal t = step < half ? step / qreal(half) : (frames - step) / qreal(half);
    const qreal x = 12.5 + t * 7.0;
    p.setPen(Qt::NoPen);
    p.setBrush(step < half ? QColor(240, 160, 30) : QColor(60, 170, 240));
    p.drawEllipse(QPointF(x, 15), 2.2, 2.2);
    p.restore();
}

QPixmap AbortPicture() {
    QPixmap pixmap = Transparent(32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(170, 110, 0), 1));
    p.setBrush(QColor(250, 185, 40));
    p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(11, 10, 4, 12));
    p.drawRect(QRectF(17, 10, 4, 12));
    return pixmap;
}

QPixmap ErrorPicture() {
    QPixmap pixmap = Transparent(32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(140, 20, 20), 1));
    p.setBrush(QColor(215, 45, 40));
    p.drawEllipse(QRectF(2.5, 2.5, 27, 27));
    p.setPen(QPen(Qt::white, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11, 11), QPointF(21, 21));
    p.drawLine(QPointF(21, 11), QPointF(11, 21));
    return pixmap;
}

QIcon BrowserIcon(int kind) {
    QColor colour(90, 120, 200);
    QString letter = QStringLiteral("e");
    switch (kind) {
        case kBrowserFirefox:
            colour = QColor(235, 110, 30);
            letter = QStringLiteral("F");
            break;
        case kBrowserOpera:
            colour = QColor(205, 30, 40);
            letter = QStringLiteral("O");
            break;
        case kBrowserChrome:
            colour = QColor(60, 160, 80);
            letter = QStringLiteral("C");
            break;
        case kBrowserSafari:
            colour = QColor(40, 140, 220);
            letter = QStringLiteral("S");
            break;
        default:
            break;
    }
    QPixmap pixmap = Transparent(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    QFont font = p.font();
    font.setPixelSize(10);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, letter);
    return QIcon(pixmap);
}

}  // namespace korvalo
