#pragma once
// The path loader windows' own pictures, drawn with QPainter: the animated connecting picture,
// the aborted and error pictures, and the browser icons of the proxy menu.

#include <QIcon>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

namespace korvalo {

// An animated image: a fixed number of frames shown one after another while animation is on.
// Its speed is a percentage of its own frame timing (100 plays it as stored).
class AnimatedPicture : public QWidget {
    Q_OBJECT

public:
    explicit AnimatedPicture(QWidget* parent = nullptr);

    // The frames and their stored delay; the connecting picture has 12 frames of 250 ms.
    int FrameCount() const { return 12; }
    int StoredFrameDelay() const { return 250; }

    void SetAnimationSpeed(int percent);
    int AnimationSpeed() const { return speed_; }
    // The delay between frames as played: the stored delay scaled by the speed.
    int FrameDelay() const;

    void SetAnimate(bool on);
    bool Animate() const { return animate_; }
    int Frame() const { return frame_; }

    QSize sizeHint() const override { return {32, 32}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Restart();

    QTimer timer_;
    int speed_ = 100;
    bool animate_ = false;
    int frame_ = 0;
};

// One frame of the connecting picture: a computer and a globe with a packet travelling
// between them.
void PaintConnectingFrame(QPainter& painter, const QRect& area, int frame, int frames);

// The 32 x 32 pictures of the aborted and the error state.
QPixmap AbortPicture();
QPixmap ErrorPicture();

// The 16 x 16 icon of a browser kind (the proxy menu's items).
QIcon BrowserIcon(int kind);

}  // namespace korvalo
