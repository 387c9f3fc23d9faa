#pragma once
// The application's hints (tool tips): how long a hint stays up, and a filter that shows the
// hints of a window's widgets with that pause.

#include <QObject>

namespace korvalo {

// How long a hint stays on screen, in milliseconds (the application's hint-hide pause); 2500
// until set. UI thread.
int HintHidePause();
void SetHintHidePause(int milliseconds);

// Sets the hint-hide pause for as long as it lives, then puts the earlier one back.
class HintHidePauseScope {
public:
    explicit HintHidePauseScope(int milliseconds);
    ~HintHidePauseScope();
    HintHidePauseScope(const HintHidePauseScope&) = delete;
    HintHidePauseScope& operator=(const HintHidePauseScope&) = delete;

private:
    int previous_;
};

// Installed on the widgets of a window (InstallOn), it shows their tool tips for the
// application's hint-hide pause instead of the style's own time.
class HintHidePauseFilter : public QObject {
public:
    using QObject::QObject;
    // Installs the filter on widget and every widget inside it.
    void InstallOn(QObject* widget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace korvalo
