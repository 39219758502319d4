#pragma once

// The sequence counters behind {sequence} and {ingestseq}, kept in the preferences ("SequenceNumber",
// "SequenceDigits", "IngestSequenceNumber", "IngestSequenceDigits") and shared by every operation of
// the process under one lock. An operation reserves the numbers it may need before it starts, so that
// two operations running at once never hand out the same number, and gives back what it did not use.
// Without open preferences the counters live in memory for the process.

#include <cstdint>

enum class SequenceKind { Sequence, Ingest };

struct SequenceSetting {
    std::int64_t next = 1; // the number the next photo gets
    int digits = 0;        // zero padded to this many digits
};

struct SequenceReservation {
    SequenceKind kind = SequenceKind::Sequence;
    std::int64_t first = 0; // the reserved numbers are first .. first + count - 1
    std::int64_t count = 0;
    int digits = 0;
};

SequenceSetting CurrentSequence(SequenceKind kind);
// Values outside the preferences' ranges are brought into them. False when the preferences could not
// store them (the process keeps them all the same).
bool SetSequence(SequenceKind kind, const SequenceSetting& setting);
// Takes `count` numbers (none when count is 0 or less; fewer when the counter reaches its maximum).
SequenceReservation ReserveSequenceNumbers(SequenceKind kind, std::int64_t count);
// Hands back the numbers of `reservation` after its first `used` ones, when nothing was reserved since.
void ReleaseUnusedSequenceNumbers(const SequenceReservation& reservation, std::int64_t used);
