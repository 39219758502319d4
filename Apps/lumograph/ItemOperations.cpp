#include "ItemOperations.h"

#include "LumoDoc.h"

#include <QKeyEvent>

std::optional<BatchChange> cullingChangeForKey(const QKeyEvent& event) {
    BatchChange change;
    switch (event.key()) {
    case Qt::Key_T:
        change.operation = BatchChange::ToggleTag;
        return change;
    default:
        return std::nullopt;
    }
}

bool runItemChange(QWidget*, const std::vector<DocumentItem::Ref>& items, const BatchChange& change) {
    return DocumentBatchChange(items, change, nullptr).empty();
}

bool deleteItemsToTrash(QWidget*, CLumoDoc& document, const std::vector<DocumentItem::Ref>& items) {
    return document.common().DocumentDeleteMarkedItems(items, false, nullptr).empty();
}

int transferItemsToFolder(QWidget*, const std::vector<DocumentItem::Ref>&, const std::string&, bool) {
    return 0;
}
