#pragma once

#include <QString>

// The plant database: every station's record lines in one PostgreSQL database, each attempt once.
//
// Schema version 1 (tables in the first schema of the user's search_path, usually `public`; a URL
// with `options=-csearch_path%3Dplant` puts them elsewhere):
//
// pelmar_schema (version integer): one row, the version of the tables below.
//
// attempts: one row per attempt, whatever its end.
//   id text PRIMARY KEY     the line's `id`, or for lines from before ids the SHA-256 of the line
//                           written compactly with sorted keys (recordline.h: attemptId)
//   line jsonb              the whole line as the shipper read it; PostgreSQL cannot hold the
//                           character U+0000, which is stored as U+FFFD (the id is the line's)
//   time timestamptz        when the attempt started (`time`), NULL when absent or unreadable
//   station text            the line's `station`, else the shipper's --station
//   job, slot, slot_path, port, adapter_serial, product, serial_number, serial_number_after,
//   version_before, version_after, result, image_sha256 text
//                           the line's `job`, `slot`, `slotPath`, `port`, `adapterSerial`,
//                           `product`, `serialNumber`, `serialNumberAfter`, `versionBefore`,
//                           `versionAfter`, `result`, `imageSha256` (lower case): trimmed, at
//                           most 200 characters (the whole value stays in `line`), NULL when
//                           absent, empty or not a text
//   status integer, duration_ms bigint
//                           `status`, `durationMs`; NULL when absent or not a sane number
//   shipped_at timestamptz  when the shipper's transaction stored it
//   source_station, source_device, source_inode, source_first_id, source_path, source_offset
//                           the file it was first shipped from: the shipper's station, the file's
//                           identity (device, inode, its first line's id), path, the line's byte
//                           offset
//   Indexes: time; (station, time); serial_number; serial_number_after; job; result.
//   Every insert notifies channel `pelmar_attempts` with the id as payload (LISTEN for a live
//   view); a line stored again (ON CONFLICT DO NOTHING) inserts nothing and notifies nothing.
//
// ship_progress: how far each shipper got in each file, committed with the lines it covers.
//   station, device bigint, inode bigint, first_id  PRIMARY KEY: the shipper's station and the
//                           file's identity (device and inode as signed 64-bit numbers; inodes are
//                           reused, so the first line's id belongs to it)
//   path, byte_offset bigint (of the first line not shipped), lines bigint (shipped before it),
//   updated_at timestamptz  the last time lines were shipped from it
//
// rejects: lines that are no attempt (not JSON, no result, over 64 KiB) or that the database
// refused, each stored once.
//   station, device, inode, first_id, byte_offset  PRIMARY KEY
//   path, line_number bigint (from 1), length bigint (bytes, without the line end),
//   raw bytea (the line's bytes; of a line over 64 KiB the first 64 KiB), reason text,
//   stored_at timestamptz
namespace flash::pg {
class Connection;
}

namespace flash {

// The version of the tables this program writes and reads.
constexpr int kPlantSchemaVersion = 1;
// The status of a program that meets a newer schema than it knows.
constexpr int kNewerSchemaStatus = 16;
// The status of --init-db and --report when the database cannot be reached or refuses.
constexpr int kDatabaseStatus = 15;

struct SchemaState
{
    enum Outcome { Ready, Newer, Missing, Failed } outcome = Failed;
    int found = 0;   // the version found before any change (0: no tables)
    QString error;   // with Failed
    QString message; // what to tell the user with Newer and Missing
};

// Brings the schema to kPlantSchemaVersion: the steps from the version found are applied in one
// transaction under an advisory lock, so that two shippers starting together migrate once. With
// `create` false nothing is changed (a reader): an older schema is Missing.
SchemaState ensureSchema(pg::Connection &db, const QString &displayName, bool create);

} // namespace flash
