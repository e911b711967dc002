#pragma once

#include <QPalette>
#include <QPixmap>
#include <QString>
#include <string>

class QComboBox;
class QLineEdit;

namespace pelorus {

// What the main window's template needs beyond what the .ui file can say: the compiled-in
// resources, the octet boxes' upper case, the sorted port list and what its entries name, and
// the picture's colours.

// Makes the resources (templates' pictures, icons) reachable; they live in a static library,
// where nothing else would pull them in.
void InitWindowResources();

// Holds every letter typed into box in upper case.
void HoldUpperCase(QLineEdit& box);

// Inserts text where a sorted list keeps it; a blank sorts before a letter, so " COM-1 " comes
// before "COM1".
void InsertSorted(QComboBox& list, const QString& text);

// The port number an entry of the port list names: " COM-n " and "COMn" both name port n; any
// other text keeps current.
int PortNumberOf(const std::string& text, int current);

// Gives every entry of the port list the device it reaches as its tool tip.
void ShowDevicesAsTips(QComboBox& list);

// The window's picture with its 3-D greys (black, shadow, face, highlight) in the palette's
// own colours, so that its background blends with the window.
QPixmap MappedPicture(const QPalette& palette);

}  // namespace pelorus
