#pragma once

namespace pelorus {

// The window's two-way data exchange between its bound controls and their strings (the six
// octets, the port text and the log text). The address fields and the programming dialogue
// rely on it; the main window implements it, tests implement it with a recording fake.
class FieldBinding {
 public:
  virtual ~FieldBinding() = default;

  // Copies the text of every bound control into its string.
  virtual void LoadFields() = 0;
  // Copies every bound string into its control; a control whose text already equals its
  // string is left alone, and the focus never moves.
  virtual void StoreFields() = 0;
  // Scrolls the log box to its last line.
  virtual void ScrollLogToEnd() = 0;
};

}  // namespace pelorus
