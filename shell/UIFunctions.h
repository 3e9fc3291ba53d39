#pragma once

class QWidget;

// Activates the widget's window, focuses the widget and makes current every tab page that
// encloses it, innermost first.
void FocusWidget(QWidget* ip_widget);
