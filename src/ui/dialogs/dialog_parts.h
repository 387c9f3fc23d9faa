#pragma once
// Building blocks of the signing dialogs' forms: panels, labels, buttons, the bevel line and
// the certificate panel's view and list, each named after its control.

#include <QRect>
#include <QString>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;
class QWidget;

namespace korvalo {

class HtmlView;

// A full-width panel of a fixed height.
QWidget* MakePanel(QWidget* parent, const char* name, int width, int height);
QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text);
// A button that Enter presses only when it has the focus.
QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text);
// The two-pixel sunken line at the top of a button panel.
QFrame* MakeBevel(QWidget* parent, int width);
// HtmlViewer1: the certificate details, read-only, "Times New Roman" at 10 points.
HtmlView* MakeCertViewer(QWidget* parent);
// ComboBoxCerts: a pick-only drop-down list.
QComboBox* MakeCertList(QWidget* parent);

}  // namespace korvalo
