#include "ContactSheetModel.h"

#include "LumoDoc.h"
#include "variables/VariableExpander.h"

#include <QDataStream>
#include <QIODevice>
#include <QMimeData>
#include <QUrl>

ContactSheetModel::ContactSheetModel(CLumoDoc* document, QObject* parent)
    : QAbstractListModel(parent), m_document(document) {
    reload();
}

int ContactSheetModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return static_cast<int>(m_items.size());
}

DocumentItem* ContactSheetModel::itemAt(int row) const {
    return refAt(row).get();
}

DocumentItem::Ref ContactSheetModel::refAt(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < m_items.size() ? m_items[static_cast<std::size_t>(row)]
                                                                      : nullptr;
}

int ContactSheetModel::rowOf(const DocumentItem* item) const {
    const auto found = m_rows.find(item);
    return found == m_rows.end() ? -1 : found->second;
}

QString ContactSheetModel::captionAt(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < m_captions.size()
               ? m_captions[static_cast<std::size_t>(row)]
               : QString();
}

QVariant ContactSheetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return captionAt(index.row());
    case ItemRole:
        return QVariant::fromValue(static_cast<void*>(itemAt(index.row())));
    default:
        return {};
    }
}

Qt::ItemFlags ContactSheetModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemNeverHasChildren;
}

QStringList ContactSheetModel::mimeTypes() const {
    return {QString::fromLatin1(kLumographItemsMimeType), QStringLiteral("text/uri-list")};
}

Qt::DropActions ContactSheetModel::supportedDragActions() const {
    return Qt::CopyAction | Qt::MoveAction;
}

QMimeData* ContactSheetModel::mimeData(const QModelIndexList& indexes) const {
    std::vector<int> rows;
    for (const QModelIndex& index : indexes)
        if (index.isValid())
            rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<std::int32_t> numbers;
    QList<QUrl> urls;
    for (const int row : rows) {
        const DocumentItem::Ref item = refAt(row);
        if (!item)
            continue;
        numbers.push_back(item->DocumentNumber());
        for (const std::string& file : {item->FullPath(), item->CompanionPath()})
            if (!file.empty())
                urls.push_back(QUrl::fromLocalFile(QString::fromStdString(file)));
    }
    if (numbers.empty())
        return nullptr;
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(kLumographItemsMimeType),
                  encodeLumographItems(m_document ? m_document->documentID() : 0, numbers));
    mime->setUrls(urls);
    return mime;
}

void ContactSheetModel::reload() {
    beginResetModel();
    m_items = m_document ? m_document->displayedItems() : std::vector<DocumentItem::Ref>();
    m_rows.clear();
    m_rows.reserve(m_items.size());
    for (std::size_t row = 0; row < m_items.size(); ++row)
        m_rows.emplace(m_items[row].get(), static_cast<int>(row));
    const int rows = rowCount();
    m_captions.assign(static_cast<std::size_t>(rows), QString());
    for (int row = 0; row < rows; ++row)
        m_captions[static_cast<std::size_t>(row)] = makeCaption(row);
    endResetModel();
}

void ContactSheetModel::itemChanged(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= m_captions.size())
        return;
    m_captions[static_cast<std::size_t>(row)] = makeCaption(row);
    const QModelIndex changed = index(row);
    Q_EMIT dataChanged(changed, changed);
}

void ContactSheetModel::setCaptionTemplate(const QString& captionTemplate) {
    if (captionTemplate == m_template)
        return;
    m_template = captionTemplate;
    for (std::size_t row = 0; row < m_captions.size(); ++row)
        m_captions[row] = makeCaption(static_cast<int>(row));
    if (!m_captions.empty())
        Q_EMIT dataChanged(index(0), index(static_cast<int>(m_captions.size()) - 1));
}

QString ContactSheetModel::makeCaption(int row) const {
    const DocumentItem::Ref item = refAt(row);
    if (!item)
        return {};
    if (m_template.isEmpty())
        return QString::fromStdString(item->FileName());
    // Expanded from the record in memory (a record not read yet gives empty values until it is).
    const NRFImageInfoRef record = item->PrimaryRecord();
    VariableContext context;
    context.image = record.get();
    context.index = static_cast<std::uint32_t>(row) + 1;
    context.total = static_cast<std::uint32_t>(rowCount());
    return QString::fromStdString(ExpandVariables(m_template.toStdString(), context, 0).text);
}

QByteArray encodeLumographItems(std::uint32_t documentID, const std::vector<std::int32_t>& numbers) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << quint32(documentID) << quint32(numbers.size());
    for (const std::int32_t number : numbers)
        out << qint32(number);
    return bytes;
}

bool decodeLumographItems(const QByteArray& bytes, std::uint32_t& documentID,
                          std::vector<std::int32_t>& numbers) {
    QDataStream in(bytes);
    quint32 id = 0, count = 0;
    in >> id >> count;
    // Each number takes four bytes: a count the data cannot hold is refused before anything is kept.
    if (in.status() != QDataStream::Ok || count > static_cast<quint32>(bytes.size() / 4))
        return false;
    numbers.clear();
    numbers.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        qint32 number = 0;
        in >> number;
        if (in.status() != QDataStream::Ok)
            return false;
        numbers.push_back(number);
    }
    documentID = id;
    return true;
}
