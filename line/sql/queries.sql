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
       p.set_aside, p.failed_units
  FROM line_progress p JOIN line_batches b ON b.name = p.batch
 WHERE $1::text IS NULL OR p.batch = $1
 ORDER BY b.id

-- Each station that tried a unit of the batch or holds one of its rows.
-- name: batch_stations
WITH names AS (SELECT station FROM line_results WHERE batch_id = $1::bigint
               UNION SELECT holder_station FROM line_rows
                      WHERE batch_id = $1::bigint AND state = 'leased')
SELECT n.station, coalesce(s.fixtures, 0) AS fixtures,
       count(r.id) FILTER (WHERE r.passed) AS passed,
       count(r.id) FILTER (WHERE NOT r.passed) AS failed,
       6 * count(r.id) FILTER (WHERE r.recorded_at > now() - interval '10 minutes')
           AS units_per_hour,
       coalesce(to_char(s.last_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"+00:00"'),
                '') AS last_seen
  FROM names n
  LEFT JOIN line_stations s ON s.name = n.station
  LEFT JOIN line_results r ON r.batch_id = $1::bigint AND r.station = n.station
 GROUP BY n.station, s.fixtures, s.last_seen
 ORDER BY n.station

-- name: batch_results
SELECT entry::text AS entry, station FROM line_results WHERE batch_id = $1::bigint ORDER BY id

-- A station's work on a batch.

-- name: station_start
SELECT started, running_host, running_pid
  FROM line_station_start($1, $2, $3::integer, $4::integer)

-- Takes the station's name again on a new connection, under the key
-- line_station_start locks it with.
-- name: station_resume
SELECT pg_try_advisory_lock(19251, hashtext($1)) AS taken, s.host, s.pid
  FROM (SELECT 1) one LEFT JOIN line_stations s ON s.name = $1

-- name: station_seen
SELECT line_station_seen($1)

-- name: claim_row
SELECT claimed_row, claimed_generation, claimed_unit, claimed_values, claimed_certificate,
       claimed_sha256, already_passed
  FROM line_claim($1, $2, $3, $4::double precision, $5::integer)

-- name: row_identities
SELECT r.row_no, r.identity
  FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
 WHERE b.name = $1 AND r.identity IS NOT NULL

-- The rows whose lease ran out after their values were sent to the unit.
-- name: kept_rows
SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture
  FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
 WHERE b.name = $1 AND r.state = 'leased' AND r.lease_end < clock_timestamp()
   AND r.written_generation = r.generation AND coalesce(r.identity, '{}') <> '{}'

-- name: set_aside_rows
SELECT r.row_no
  FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
 WHERE b.name = $1 AND r.state = 'set_aside'
 ORDER BY r.row_no

-- name: renew_lease
SELECT line_renew($1, $2::integer, $3::bigint, $4, $5, $6::double precision) AS held

-- name: mark_writing
SELECT line_writing($1, $2::integer, $3::bigint, $4, $5, $6::double precision) AS held

-- name: record_unit
SELECT line_record($1, $2::integer, $3::bigint, $4, $5, $6::boolean, $7, $8, $9::integer,
                   $10::json) AS settled

-- Whether a result sent over a connection lost meanwhile reached the
-- database, known by its claim and its journal line's time.
-- name: find_record
SELECT r.settled
  FROM line_results r JOIN line_batches b ON b.id = r.batch_id
 WHERE b.name = $1 AND r.station = $2 AND r.fixture = $3
   AND r.row_no IS NOT DISTINCT FROM $4::integer
   AND r.generation IS NOT DISTINCT FROM $5::bigint AND r.entry ->> 'time' = $6

-- Importing a batch.

-- One import at a time, so that each finds the host names of the one that
-- ran before it. Stations only read line_batches, which this leaves them.
-- name: lock_batches
LOCK TABLE line_batches IN SHARE ROW EXCLUSIVE MODE

-- The rows of open batches whose host names, of any case, new rows give too.
-- $1: the new rows' host names as a JSON array, null for a row without one;
-- `place` is the new row's in it, from 1. A batch is open while one of its
-- rows is neither passed nor set aside: waiting or leased, so named that
-- line_rows_open finds such a row without reading the batches that are done.
-- Host names are ASCII, which the "C" collation lowers without a locale.
-- name: shared_hostnames
WITH given AS (
    SELECT g.place, lower(g.hostname COLLATE "C") AS hostname
      FROM json_array_elements_text($1::json) WITH ORDINALITY AS g(hostname, place)
     WHERE g.hostname IS NOT NULL),
open_batches AS (
    SELECT b.id, b.name FROM line_batches b
     WHERE EXISTS (SELECT 1 FROM line_rows o
                    WHERE o.batch_id = b.id AND o.state IN ('waiting', 'leased')))
SELECT DISTINCT ON (g.place) g.place, b.name AS batch, r.row_no AS batch_row
  FROM open_batches b
  JOIN line_rows r ON r.batch_id = b.id
  JOIN given g ON g.hostname = lower((r.row_values ->> 'hostname') COLLATE "C")
 ORDER BY g.place, b.id, r.row_no

-- The new rows streamed in, one a line, in these columns' order.
-- name: copy_rows
COPY line_rows (batch_id, row_no, unit, row_values, identity, certificate_sha256) FROM STDIN
