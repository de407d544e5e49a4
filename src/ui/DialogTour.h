#pragma once
#include <QString>
#include <functional>

class QWidget;

namespace salvex::ui {

class TMainWindow;

// Shows every window, dialog and menu of the program in turn, filled as a user would see it on
// the open volume, and hands each to `visit` while it is on screen (under a file-name-like name
// such as "drives-logical"). Pictures of the program and the language checks walk the same tour.
using TTourVisit = std::function<void(const QString& name, QWidget* shown)>;
void TourDialogs(TMainWindow& window, const TTourVisit& visit);

}  // namespace salvex::ui
