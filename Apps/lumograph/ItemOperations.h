#pragma once

#include "contactsheet/LumoDocCommon.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

class QKeyEvent;
class QWidget;
class CLumoDoc;

// The culling keys the contact sheet and the preview share, as the change each one makes; nullopt for
// any other key:
//
//   T                 toggle the tag
//   0 1 2 3 4 5       rating: none, 1 to 5 stars
//   6 7 8 9           colour class 1, 2, 3, 4
//   Alt+1 .. Alt+8    colour class 1 to 8
//   Alt+0             no colour class
//   Ctrl+]            rotate clockwise
//   Ctrl+[            rotate counter-clockwise
//
// The digits of the keypad work as the others. Holding T or a rotate key down does not repeat it (a
// held key would toggle or turn the photo back and forth); the ratings and colour classes set the
// same value again, so they may repeat. Ctrl and Meta with a digit, and Ctrl, Alt or Meta with T,
// are left to other shortcuts.
std::optional<BatchChange> cullingChangeForKey(const QKeyEvent& event);

// Applies `change` to the items as a background operation with the progress window (the image cache
// paused while it runs); the failures are shown in one message when it ends. True when every item
// changed (false too when the user cancelled).
bool runItemChange(QWidget* parent, const std::vector<DocumentItem::Ref>& items, const BatchChange& change);

// Asks, then moves the items' files to the Trash (the items leave the document). True when all went;
// false when the user said no or some files stayed (those are shown).
bool deleteItemsToTrash(QWidget* parent, CLumoDoc& document, const std::vector<DocumentItem::Ref>& items);

// Moves (or copies) the items with all their files into `folder` through the file copy, as a
// background operation; a file of the same name there is never replaced (the copy takes a free name).
// An item that fails is put to the user (Retry / Skip / Cancel). The number of items that arrived.
// After a move the documents showing the items' folders must rescan.
int transferItemsToFolder(QWidget* parent, const std::vector<DocumentItem::Ref>& items,
                          const std::string& folder, bool copy);
