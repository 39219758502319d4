#include "variables/VariableSequence.h"

#include "db/PreferenceKeys.h"
#include "db/Preferences.h"

#include <algorithm>
#include <memory>
#include <mutex>

namespace {

std::mutex& sequenceLock() {
    static std::mutex lock;
    return lock;
}

struct Keys {
    const char* number;
    const char* digits;
    std::int64_t defaultDigits;
};

Keys keysOf(SequenceKind kind) {
    if (kind == SequenceKind::Ingest)
        return {kPrefIngestSequenceNumber, kPrefIngestSequenceDigits, kPrefIngestSequenceDigitsDefault};
    return {kPrefSequenceNumber, kPrefSequenceDigits, kPrefSequenceDigitsDefault};
}

SequenceSetting bounded(std::int64_t next, std::int64_t digits) {
    return {std::clamp<std::int64_t>(next, 0, kPrefSequenceNumberMaximum),
            static_cast<int>(std::clamp<std::int64_t>(digits, 0, kPrefSequenceDigitsMaximum))};
}

// What the process keeps when there are no preferences to keep it in.
SequenceSetting& memoryCounter(SequenceKind kind) {
    static SequenceSetting sequence{kPrefSequenceNumberDefault, static_cast<int>(kPrefSequenceDigitsDefault)};
    static SequenceSetting ingest{kPrefSequenceNumberDefault,
                                  static_cast<int>(kPrefIngestSequenceDigitsDefault)};
    return kind == SequenceKind::Ingest ? ingest : sequence;
}

// Both under sequenceLock().
SequenceSetting readCounter(SequenceKind kind) {
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return memoryCounter(kind);
    const Keys keys = keysOf(kind);
    return bounded(preferences->getInt(keys.number, kPrefSequenceNumberDefault),
                   preferences->getInt(keys.digits, keys.defaultDigits));
}

bool writeCounter(SequenceKind kind, const SequenceSetting& setting) {
    memoryCounter(kind) = setting;
    const std::shared_ptr<CPreferences> preferences = CPreferences::instance();
    if (!preferences)
        return false;
    const Keys keys = keysOf(kind);
    return preferences->setInt(keys.number, setting.next) &&
           preferences->setInt(keys.digits, setting.digits) && preferences->save();
}

} // namespace

SequenceSetting CurrentSequence(SequenceKind kind) {
    const std::lock_guard<std::mutex> hold(sequenceLock());
    return readCounter(kind);
}

bool SetSequence(SequenceKind kind, const SequenceSetting& setting) {
    const std::lock_guard<std::mutex> hold(sequenceLock());
    return writeCounter(kind, bounded(setting.next, setting.digits));
}

SequenceReservation ReserveSequenceNumbers(SequenceKind kind, std::int64_t count) {
    const std::lock_guard<std::mutex> hold(sequenceLock());
    SequenceSetting setting = readCounter(kind);
    SequenceReservation reservation{kind, setting.next, 0, setting.digits};
    reservation.count = std::clamp<std::int64_t>(count, 0, kPrefSequenceNumberMaximum - setting.next);
    if (reservation.count > 0) {
        setting.next += reservation.count;
        writeCounter(kind, setting);
    }
    return reservation;
}

void ReleaseUnusedSequenceNumbers(const SequenceReservation& reservation, std::int64_t used) {
    used = std::clamp<std::int64_t>(used, 0, reservation.count);
    if (used == reservation.count)
        return;
    const std::lock_guard<std::mutex> hold(sequenceLock());
    SequenceSetting setting = readCounter(reservation.kind);
    if (setting.next != reservation.first + reservation.count)
        return; // another operation reserved numbers meanwhile, or the user set the counter
    setting.next = reservation.first + used;
    writeCounter(reservation.kind, setting);
}
