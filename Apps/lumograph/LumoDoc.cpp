#include "LumoDoc.h"

#include <QFileInfo>

CLumoDoc::CLumoDoc(QObject* parent) : QObject(parent), m_common(std::make_unique<LumoDocCommon>()) {}

CLumoDoc::~CLumoDoc() = default;

bool CLumoDoc::openFolders(const std::vector<std::string>& folders) {
    if (!m_common->OpenFolders(folders))
        return false;
    m_displayed = m_common->Items();
    Q_EMIT sorted();
    return true;
}

CILA::VObject CLumoDoc::savedState() const {
    return m_common->SavedState();
}

bool CLumoDoc::restoreState(const CILA::VObject& state) {
    return m_common->RestoreState(state);
}

QString CLumoDoc::title() const {
    return QFileInfo(QString::fromStdString(m_common->PrimaryPath())).fileName();
}

void CLumoDoc::rescan() {
    m_common->Rescan();
}

void CLumoDoc::sort() {}

void CLumoDoc::setSortSettings(const ContactSheetSortSettings& settings) {
    m_common->SetSortSettings(settings);
}

int CLumoDoc::rowOf(const DocumentItem* item) const {
    for (std::size_t i = 0; i < m_displayed.size(); ++i)
        if (m_displayed[i].get() == item)
            return static_cast<int>(i);
    return -1;
}
