#include "plantschema.h"

#include "pg.h"

namespace flash {

namespace {

// Step n brings version n - 1 to n. A step is never edited once released: a change is a new step.
const char *const kSteps[] = {
    // 1: the tables, their indexes and the notification.
    R"sql(
CREATE TABLE attempts (
    id text PRIMARY KEY,
    line jsonb NOT NULL,
    time timestamptz,
    station text,
    job text,
    slot text,
    slot_path text,
    port text,
    adapter_serial text,
    product text,
    serial_number text,
    serial_number_after text,
    version_before text,
    version_after text,
    result text NOT NULL,
    status integer,
    duration_ms bigint,
    image_sha256 text,
    shipped_at timestamptz NOT NULL DEFAULT now(),
    source_station text NOT NULL,
    source_device bigint NOT NULL,
    source_inode bigint NOT NULL,
    source_first_id text NOT NULL,
    source_path text NOT NULL,
    source_offset bigint NOT NULL
);
CREATE INDEX attempts_time ON attempts (time);
CREATE INDEX attempts_station_time ON attempts (station, time);
CREATE INDEX attempts_serial_number ON attempts (serial_number);
CREATE INDEX attempts_serial_number_after ON attempts (serial_number_after);
CREATE INDEX attempts_job ON attempts (job);
CREATE INDEX attempts_result ON attempts (result);

CREATE TABLE ship_progress (
    station text NOT NULL,
    device bigint NOT NULL,
    inode bigint NOT NULL,
    first_id text NOT NULL,
    path text NOT NULL,
    byte_offset bigint NOT NULL,
    lines bigint NOT NULL,
    updated_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, device, inode, first_id)
);

CREATE TABLE rejects (
    station text NOT NULL,
    device bigint NOT NULL,
    inode bigint NOT NULL,
    first_id text NOT NULL,
    path text NOT NULL,
    line_number bigint NOT NULL,
    byte_offset bigint NOT NULL,
    length bigint NOT NULL,
    raw bytea NOT NULL,
    reason text NOT NULL,
    stored_at timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (station, device, inode, first_id, byte_offset)
);

CREATE FUNCTION pelmar_notify_attempt() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('pelmar_attempts', NEW.id);
    RETURN NULL;
END
$$;
CREATE TRIGGER attempts_notify AFTER INSERT ON attempts
    FOR EACH ROW EXECUTE FUNCTION pelmar_notify_attempt();
)sql",
};
static_assert(sizeof kSteps / sizeof kSteps[0] == kPlantSchemaVersion,
              "one step per schema version");

// Taken for the migration's transaction: "pelmar" and 1 as the two keys.
const char kLockSql[] = "SELECT pg_advisory_xact_lock(1885695341, 1)";

// The version, 0 without tables, -1 on failure.
int versionOf(pg::Connection &db, QString *error)
{
    const pg::Result exists = db.exec("SELECT to_regclass('pelmar_schema') IS NOT NULL");
    if (!exists.ok()) {
        *error = exists.error();
        return -1;
    }
    if (exists.value(0, 0) != "t")
        return 0;
    const pg::Result r = db.exec("SELECT max(version) FROM pelmar_schema");
    if (!r.ok()) {
        *error = r.error();
        return -1;
    }
    return r.isNull(0, 0) ? 0 : int(r.number(0, 0));
}

QString newerText(const QString &name, int found)
{
    return QStringLiteral("the plant database %1 has schema version %2, newer than this "
                          "pelmar-flash knows (up to %3): install the newer pelmar-flash")
        .arg(name)
        .arg(found)
        .arg(kPlantSchemaVersion);
}

bool migrate(pg::Connection &db, int from, QString *error)
{
    if (from == 0) {
        const pg::Result r = db.exec("CREATE TABLE pelmar_schema (version integer NOT NULL); "
                                     "INSERT INTO pelmar_schema VALUES (0)");
        if (!r.ok()) {
            *error = r.error();
            return false;
        }
    }
    for (int v = from + 1; v <= kPlantSchemaVersion; ++v) {
        const pg::Result r = db.exec(kSteps[v - 1]);
        if (!r.ok()) {
            *error = QStringLiteral("schema step to version %1: %2").arg(v).arg(r.error());
            return false;
        }
    }
    const pg::Result r = db.exec(QByteArray("UPDATE pelmar_schema SET version = $1"),
                                 pg::Params().number(kPlantSchemaVersion));
    if (!r.ok())
        *error = r.error();
    return r.ok();
}

} // namespace

SchemaState ensureSchema(pg::Connection &db, const QString &displayName, bool create)
{
    SchemaState s;
    s.found = versionOf(db, &s.error);
    if (s.found < 0)
        return s;
    if (s.found > kPlantSchemaVersion) {
        s.outcome = SchemaState::Newer;
        s.message = newerText(displayName, s.found);
        return s;
    }
    if (s.found == kPlantSchemaVersion) {
        s.outcome = SchemaState::Ready;
        return s;
    }
    if (!create) {
        s.outcome = SchemaState::Missing;
        s.message = QStringLiteral("the plant database %1 has %2: run pelmar-flash --init-db "
                                   "--to %1")
                        .arg(displayName, s.found == 0 ? QStringLiteral("no pelmar tables")
                                                       : QStringLiteral("an older schema"));
        return s;
    }
    bool ok = db.exec("BEGIN").ok() && db.exec(kLockSql).ok();
    // Another program may have migrated while this one waited for the lock.
    const int found = ok ? versionOf(db, &s.error) : -1;
    ok = ok && found >= 0;
    if (ok && found > kPlantSchemaVersion) {
        db.exec("ROLLBACK");
        s.outcome = SchemaState::Newer;
        s.message = newerText(displayName, found);
        return s;
    }
    ok = ok && (found == kPlantSchemaVersion || migrate(db, found, &s.error));
    const pg::Result end = db.exec(ok ? "COMMIT" : "ROLLBACK");
    if (ok && !end.ok())
        s.error = end.error();
    s.outcome = ok && end.ok() ? SchemaState::Ready : SchemaState::Failed;
    if (s.error.isEmpty() && s.outcome == SchemaState::Failed)
        s.error = QStringLiteral("the connection was lost");
    return s;
}

} // namespace flash
