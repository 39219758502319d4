#include "metadata/IPTCRec.h"

#include <new>

IPTCRec* IPTCNewRecord() {
    return new (std::nothrow) IPTCRec();
}

void IPTCDisposeRecord(IPTCRec* record) {
    delete record;
}

void IPTCClearRecord(IPTCRec* record) {
    if (record)
        *record = IPTCRec();
}

void IPTCClearUnknownFields(IPTCRec* record) {
    if (record) {
        record->m_unknown.clear();
        record->m_unknown.shrink_to_fit();
    }
}

bool IPTCIsBlankIPTC(const IPTCRec* record) {
    if (!record)
        return true;
    for (const std::string& text : record->m_fields)
        if (!text.empty())
            return false;
    return record->m_noDate && record->m_noTime && record->m_colorClass.empty() && record->m_rating.empty() &&
           record->m_tagged.empty() && record->m_imageNumber == 0 && record->m_unknown.empty();
}
