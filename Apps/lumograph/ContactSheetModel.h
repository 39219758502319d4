#pragma once

#include "contactsheet/DocumentItem.h"

#include <QAbstractListModel>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <unordered_map>
#include <vector>

class CLumoDoc;
class QMimeData;

// The items a contact sheet shows, in the document's display order, as a list model. Each row carries
// its item and its caption line (the file name, or a {variable} template expanded for the item); the
// captions are worked out when the order or an item changes, never while drawing.
class ContactSheetModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { ItemRole = Qt::UserRole + 1 };

    explicit ContactSheetModel(CLumoDoc* document, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override;

    DocumentItem* itemAt(int row) const;
    DocumentItem::Ref refAt(int row) const;
    int rowOf(const DocumentItem* item) const; // -1 when not shown
    const std::vector<DocumentItem::Ref>& items() const { return m_items; }
    QString captionAt(int row) const;

    // Takes the document's display order again.
    void reload();
    // The item at `row` changed: its caption is made again and its cell redrawn.
    void itemChanged(int row);
    void setCaptionTemplate(const QString& captionTemplate);
    QString captionTemplate() const { return m_template; }

private:
    QString makeCaption(int row) const;

    QPointer<CLumoDoc> m_document;
    QString m_template;
    // The order shown: the document's as it was at the last reload (the document may have a newer
    // one already when its sorted() arrives).
    std::vector<DocumentItem::Ref> m_items;
    std::unordered_map<const DocumentItem*, int> m_rows;
    std::vector<QString> m_captions;
};

// The drag format of contact sheet items: the document's id and the items' document numbers.
inline constexpr char kLumographItemsMimeType[] = "application/x-lumograph-items";
QByteArray encodeLumographItems(std::uint32_t documentID, const std::vector<std::int32_t>& numbers);
bool decodeLumographItems(const QByteArray& bytes, std::uint32_t& documentID,
                          std::vector<std::int32_t>& numbers);
