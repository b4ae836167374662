#pragma once
// What assistive technologies see of the main view: the level meters as
// level indicators with values, the gain sliders in percent, and only the
// controls that are elements (backgrounds, icons and the spinner are not).

class QWidget;

// Installs our accessibility interfaces; idempotent.
void VLMInstallAccessibility();

// An element is listed among its parent's accessible children; a widget that
// is not one is skipped there (its own children are skipped with it).
void VLMSetAccessibilityElement(QWidget* widget, bool isElement);
bool VLMIsAccessibilityElement(const QWidget* widget);
