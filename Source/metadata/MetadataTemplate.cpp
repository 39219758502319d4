#include "metadata/MetadataTemplate.h"

#include "variables/VariableExpander.h"

bool IPTCLoadCurrentStationery(IPTCRec&) {
    return false;
}

bool IPTCSaveCurrentStationery(const IPTCRec&) {
    return false;
}

std::string IPTCCheckStationerySelfVariables(const IPTCRec&) {
    return {};
}

int IPTCApplyStationery(const IPTCRec& stationery, IPTCRec& target, const StationeryDateInfo& date,
                        const std::string&, std::string* message) {
    VariableContext context;
    return IPTCApplyStationery(stationery, target, date, context, message);
}

int IPTCApplyStationery(const IPTCRec&, IPTCRec&, const StationeryDateInfo&, const VariableContext&,
                        std::string*) {
    return kIPTCErrNothingToApply;
}

bool IPTCHaveSequenceVar(const IPTCRec&) {
    return false;
}

bool IPTCHaveReverseGeocoding(const IPTCRec& stationery) {
    for (bool flag : stationery.m_reverseGeocodingApply)
        if (flag)
            return true;
    return false;
}
