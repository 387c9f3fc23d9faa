#include "ui/toolkit/hints.h"

#include <QHelpEvent>
#include <QToolTip>
#include <QWidget>

namespace korvalo {

namespace {

int g_hintHidePause = 2500;

}  // namespace

int HintHidePause() {
    return g_hintHidePause;
}

void SetHintHidePause(int milliseconds) {
    g_hintHidePause = milliseconds;
}

HintHidePauseScope::HintHidePauseScope(int milliseconds) : previous_(HintHidePause()) {
    SetHintHidePause(milliseconds);
}

HintHidePauseScope::~HintHidePauseScope() {
    SetHintHidePause(previous_);
}

void HintHidePauseFilter::InstallOn(QObject* widget) {
    widget->installEventFilter(this);
    for (QWidget* child : widget->findChildren<QWidget*>())
        child->installEventFilter(this);
}

bool HintHidePauseFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->toolTip().isEmpty())
        return false;
    const auto* help = static_cast<QHelpEvent*>(event);
    QToolTip::showText(help->globalPos(), widget->toolTip(), widget, QRect(), HintHidePause());
    return true;
}

}  // namespace korvalo
