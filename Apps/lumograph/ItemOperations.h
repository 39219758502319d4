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
// any other key. T toggles the tag, 0-5 set the rating, 6-9 the colour classes 1-4 and Alt+1..8 the
// classes 1-8 (Alt+0 clears it), Ctrl+] and Ctrl+[ rotate clockwise and counter-clockwise.
std::optional<BatchChange> cullingChangeForKey(const QKeyEvent& event);

// Applies `change` to the items as a background operation with the progress window (the image cache
// paused while it runs); the failures are shown when it ends. True when every item changed.
bool runItemChange(QWidget* parent, const std::vector<DocumentItem::Ref>& items, const BatchChange& change);

// Asks, then moves the items' files to the Trash (the items leave the document). True when all went.
bool deleteItemsToTrash(QWidget* parent, CLumoDoc& document, const std::vector<DocumentItem::Ref>& items);

// Moves (or copies) the items with all their files into `folder` through the file copy, as a
// background operation. The number of items that arrived.
int transferItemsToFolder(QWidget* parent, const std::vector<DocumentItem::Ref>& items,
                          const std::string& folder, bool copy);
