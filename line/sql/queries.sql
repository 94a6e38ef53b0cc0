-- Every statement kestroctl sends to the line's database, each under a name.
-- A statement that PostgreSQL can prepare (SELECT, INSERT, UPDATE, DELETE,
-- WITH) is prepared once per connection under its name and then only
-- executed; the others (transactions, locks, the bookkeeping's DDL) are sent
-- as they are. Results are read by their columns' names.

-- name: begin
BEGIN

-- name: commit
COMMIT

-- name: rollback
ROLLBACK

-- The schema's bookkeeping: its version, and the oldest station version
-- that still works on it (see the first line of each migration).

-- name: schema_present
SELECT to_regclass('line_schema') IS NOT NULL AS present

-- name: make_schema_table
CREATE TABLE IF NOT EXISTS line_schema (version integer NOT NULL)

-- name: add_stations_from
ALTER TABLE line_schema ADD COLUMN IF NOT EXISTS stations_from integer

-- Read whether or not the column stations_from is there yet.
-- name: schema_version
SELECT coalesce(max((to_jsonb(s) ->> 'version')::integer), 0) AS version,
       max((to_jsonb(s) ->> 'stations_from')::integer) AS stations_from
  FROM line_schema s

-- name: set_schema_version
WITH gone AS (DELETE FROM line_schema)
INSERT INTO line_schema (version, stations_from) VALUES ($1::integer, $2::integer)

-- One line init at a time: a second waits, then finds the schema current.
-- Only the schema's owner may take it.
-- name: lock_schema
LOCK TABLE line_schema IN SHARE ROW EXCLUSIVE MODE

-- The migrations' functions keep the search path they were made with: the
-- schema that holds the line's tables, and nothing anywhere else.
-- name: use_line_schema
SELECT set_config('search_path',
                  (SELECT relnamespace::regnamespace::text FROM pg_class
                    WHERE oid = 'line_schema'::regclass) || ', pg_temp', true) AS search_path

-- The roles stations log in as: the grantees of the station's sign of life,
-- which every version has, but neither its owner nor PUBLIC.
-- name: station_roles
SELECT DISTINCT r.rolname AS role
  FROM pg_proc p CROSS JOIN LATERAL aclexplode(p.proacl) a
  JOIN pg_roles r ON r.oid = a.grantee
 WHERE p.proname = 'line_station_seen' AND a.privilege_type = 'EXECUTE'
   AND a.grantee <> p.proowner
   AND p.pronamespace = (SELECT relnamespace FROM pg_class WHERE oid = 'line_schema'::regclass)
 ORDER BY 1

-- The roles a dashboard reads as: those who may read the progress view but
-- call none of the station's functions.
-- name: viewer_roles
SELECT DISTINCT r.rolname AS role
  FROM pg_class c CROSS JOIN LATERAL aclexplode(c.relacl) a
  JOIN pg_roles r ON r.oid = a.grantee
 WHERE c.oid = to_regclass('line_progress') AND a.privilege_type = 'SELECT'
   AND a.grantee <> c.relowner
   AND NOT EXISTS (SELECT 1 FROM pg_proc p CROSS JOIN LATERAL aclexplode(p.proacl) e
                    WHERE p.proname = 'line_station_seen' AND p.pronamespace = c.relnamespace
                      AND e.privilege_type = 'EXECUTE' AND e.grantee = a.grantee)
 ORDER BY 1

-- The roles grants.sql works on: empty for none.
-- name: grant_to
SELECT set_config('kestro.station_role', $1, true) AS station_role,
       set_config('kestro.viewer_role', $2, true) AS viewer_role

-- The stations seen in the last minute, with the schema version they were
-- built for (stations from before versions were kept: the database's).
-- name: running_stations
SELECT s.name AS station, s.host AS host,
       coalesce((to_jsonb(s) ->> 'version')::integer, $1::integer) AS version
  FROM line_stations s
 WHERE s.last_seen > clock_timestamp() - interval '1 minute'
 ORDER BY s.name

-- Batches.

-- name: insert_batch
INSERT INTO line_batches (name) VALUES ($1) ON CONFLICT (name) DO NOTHING RETURNING id

-- Each distinct certificate once: $1 maps SHA-256 to the bytes in base64.
-- name: insert_certificates
INSERT INTO line_certificates (sha256, bytes)
SELECT key, decode(value, 'base64') FROM jsonb_each_text($1::jsonb)
    ON CONFLICT (sha256) DO NOTHING

-- name: batches_without_identity
SELECT b.id AS batch_id, b.name AS batch
  FROM line_batches b
 WHERE EXISTS (SELECT 1 FROM line_rows r WHERE r.batch_id = b.id AND r.identity IS NULL)
 ORDER BY b.id

-- name: rows_of_batch
SELECT row_no, row_values, identity IS NULL AS without_identity
  FROM line_rows WHERE batch_id = $1::bigint ORDER BY row_no

-- $2: a JSON array of {n, identity}; rows that have one keep it.
-- name: set_identities
UPDATE line_rows r SET identity = e -> 'identity'
  FROM jsonb_array_elements($2::jsonb) e
 WHERE r.batch_id = $1::bigint AND r.row_no = (e ->> 'n')::integer AND r.identity IS NULL

-- name: batch_id
SELECT id FROM line_batches WHERE name = $1

-- Every batch, or only $1.
-- name: batch_progress
SELECT b.id AS batch_id, p.batch, p.rows, p.waiting, p.leased, p.expired_leases, p.passed,
       p.set_aside, p.failed_units, p.kept
  FROM line_progress p JOIN line_batches b ON b.name = p.batch
 WHERE $1::text IS NULL OR p.batch = $1
 ORDER BY b.id

-- Each station that tried a unit of the batch or holds one of its rows.
-- name: batch_stations
WITH tried AS (
    SELECT station, count(*) FILTER (WHERE passed) AS passed,
           count(*) FILTER (WHERE NOT passed) AS failed,
           6 * count(*) FILTER (WHERE recorded_at > now() - interval '10 minutes')
               AS units_per_hour
      FROM line_results WHERE batch_id = $1::bigint GROUP BY station),
names AS (SELECT station FROM tried
          UNION SELECT holder_station FROM line_rows
                 WHERE batch_id = $1::bigint AND state = 'leased')
SELECT n.station, coalesce(s.fixtures, 0) AS fixtures, coalesce(t.passed, 0) AS passed,
       coalesce(t.failed, 0) AS failed, coalesce(t.units_per_hour, 0) AS units_per_hour,
       coalesce(to_char(s.last_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"+00:00"'),
                '') AS last_seen
  FROM names n
  LEFT JOIN tried t ON t.station = n.station
  LEFT JOIN line_stations s ON s.name = n.station
 ORDER BY n.station

-- The batch's rows kept for their units, and where each unit was last.
-- name: batch_kept_rows
SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture,
       to_char(coalesce(r.kept_since, r.lease_end) AT TIME ZONE 'UTC',
               'YYYY-MM-DD"T"HH24:MI:SS.MS"+00:00"') AS since
  FROM line_rows r
 WHERE r.batch_id = $1::bigint AND r.state IN ('kept', 'leased') AND line_is_kept(r)
 ORDER BY r.row_no

-- name: release_row
SELECT unit, unit_station, unit_fixture FROM line_release($1, $2::integer, $3)

-- Rows passed over the last 10 minutes, for the rate and the time left.
-- name: batch_rate
SELECT count(*) AS passed_lately
  FROM line_results
 WHERE batch_id = $1::bigint AND passed AND settled
   AND recorded_at > now() - interval '10 minutes'

-- name: batch_fixtures
SELECT station, fixture, tried, passed, passed_first, coalesce(last_failure, '') AS last_failure,
       flagged
  FROM fixture_yield WHERE batch = $1 ORDER BY station, fixture

-- name: batch_causes
SELECT step, message, units FROM failure_causes
 WHERE batch = $1 ORDER BY units DESC, step, message LIMIT 3

-- name: batch_results
SELECT entry::text AS entry, station, row_no, passed, settled
  FROM line_results WHERE batch_id = $1::bigint ORDER BY id

-- A station's work on a batch: each call names the station's run by its
-- token, and the functions take the station, its batch and its fixtures
-- from the run.

-- The version as a station may read it, where it has no table to read:
-- schemas before it keep the version in line_schema alone.
-- name: station_schema_version_present
SELECT to_regprocedure('line_schema_version()') IS NOT NULL AS present

-- name: station_schema_version
SELECT version, stations_from FROM line_schema_version()

-- $5: the fixtures' names as a JSON array.
-- name: station_start
SELECT started, token, running_host, running_pid
  FROM line_station_start($1, $2, $3::integer, $4,
                          ARRAY(SELECT jsonb_array_elements_text($5::jsonb)),
                          $6::double precision, $7::integer, $8::integer)

-- name: station_ready
SELECT line_station_ready($1)

-- name: station_resume
SELECT line_station_resume($1)

-- name: station_seen
SELECT rows, waiting, leased, expired_leases, passed, set_aside, failed_units, kept
  FROM line_station_seen($1)

-- name: claim_row
SELECT claimed_row, claimed_generation, claimed_unit, claimed_values, claimed_certificate,
       claimed_sha256, already_passed
  FROM line_claim($1, $2::integer, $3::integer)

-- name: row_identities
SELECT row_no, identity FROM line_identities($1)

-- name: kept_rows
SELECT row_no, unit, holder_station, holder_fixture,
       to_char(kept_since AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"+00:00"') AS since
  FROM line_kept_rows($1)

-- name: set_aside_rows
SELECT row_no FROM line_set_aside_rows($1)

-- name: renew_lease
SELECT line_renew($1, $2::integer, $3::integer, $4::bigint, false) AS held

-- Before each write to the unit.
-- name: mark_writing
SELECT line_renew($1, $2::integer, $3::integer, $4::bigint, true) AS held

-- $8: what became of the row's identity on a unit that failed after its
-- values may have reached it ('returned', 'not_held', 'kept'), or NULL.
-- name: record_unit
SELECT line_record($1, $2::integer, $3::integer, $4::bigint, $5::boolean, $6, $7, $8, $9::json)
       AS settled

-- Whether a result sent over a connection lost meanwhile reached the
-- database, known by its claim and its journal line's time.
-- name: find_record
SELECT found, settled FROM line_find_record($1, $2::integer, $3::bigint, $4)

-- What line init granted, checked: what a role still lacks.
-- name: missing_station_rights
SELECT 'USAGE on schema ' || n.nspname AS missing
  FROM pg_namespace n
 WHERE n.oid = (SELECT relnamespace FROM pg_class WHERE oid = 'line_schema'::regclass)
   AND NOT has_schema_privilege($1, n.oid, 'USAGE')
UNION ALL
SELECT 'EXECUTE on ' || f::text FROM line_station_rights() f
 WHERE NOT has_function_privilege($1, f, 'EXECUTE')

-- name: missing_viewer_rights
SELECT 'USAGE on schema ' || n.nspname AS missing
  FROM pg_namespace n
 WHERE n.oid = (SELECT relnamespace FROM pg_class WHERE oid = 'line_schema'::regclass)
   AND NOT has_schema_privilege($1, n.oid, 'USAGE')
UNION ALL
SELECT 'SELECT on ' || v::text FROM line_viewer_rights() v
 WHERE NOT has_table_privilege($1, v, 'SELECT')

-- Importing a batch.

-- One import at a time, so that each finds the host names of the one that
-- ran before it. Stations only read line_batches, which this leaves them.
-- name: lock_batches
LOCK TABLE line_batches IN SHARE ROW EXCLUSIVE MODE

-- The rows of open batches whose host names, of any case, new rows give too.
-- $1: the new rows' host names as a JSON array, null for a row without one;
-- `place` is the new row's in it, from 1. A batch is open while one of its
-- rows is neither passed nor set aside: waiting, leased or kept, so named
-- that the partial indexes find such a row without reading the batches that
-- are done.
-- Host names are ASCII, which the "C" collation lowers without a locale.
-- name: shared_hostnames
WITH given AS (
    SELECT g.place, lower(g.hostname COLLATE "C") AS hostname
      FROM json_array_elements_text($1::json) WITH ORDINALITY AS g(hostname, place)
     WHERE g.hostname IS NOT NULL),
open_batches AS (
    SELECT b.id, b.name FROM line_batches b
     WHERE EXISTS (SELECT 1 FROM line_rows o
                    WHERE o.batch_id = b.id AND o.state IN ('waiting', 'leased'))
        OR EXISTS (SELECT 1 FROM line_rows k WHERE k.batch_id = b.id AND k.state = 'kept'))
SELECT DISTINCT ON (g.place) g.place, b.name AS batch, r.row_no AS batch_row
  FROM open_batches b
  JOIN line_rows r ON r.batch_id = b.id
  JOIN given g ON g.hostname = lower((r.row_values ->> 'hostname') COLLATE "C")
 ORDER BY g.place, b.id, r.row_no

-- The new rows streamed in, one a line, in these columns' order.
-- name: copy_rows
COPY line_rows (batch_id, row_no, unit, row_values, identity, certificate_sha256) FROM STDIN
