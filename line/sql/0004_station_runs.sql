-- breaks stations older than: 4
-- A station proves who it is. line_station_start hands each run of a
-- station a secret token, kept hashed; every later call names its run by it,
-- and the functions take the station, its batch, its fixtures, its lease and
-- its row tries from the run, never from the caller. A station's name is
-- held by its heartbeat (the server's clock), not by a session lock: a
-- station whose host died with its connection half-open frees its name once
-- its heartbeat is older than its lease, or at once when its session is gone.
-- The station's role reads no table: a claim answers its own row's values
-- and certificate, and functions answer the rest.
-- Each batch's counts are kept beside it, so that what a station asks for
-- each unit costs the same however large the batch.

-- A database made by the first script of version 3 lacks it.
ALTER TABLE line_rows ADD COLUMN IF NOT EXISTS written_generation bigint;
-- The run whose claim holds the row.
ALTER TABLE line_rows ADD COLUMN IF NOT EXISTS holder_run bigint;
CREATE INDEX IF NOT EXISTS line_rows_leased ON line_rows (batch_id, lease_end) WHERE state = 'leased';
CREATE INDEX IF NOT EXISTS line_rows_set_aside ON line_rows (batch_id, row_no) WHERE state = 'set_aside';
CREATE INDEX IF NOT EXISTS line_rows_holder ON line_rows (holder_station) WHERE state = 'leased';
CREATE INDEX IF NOT EXISTS line_results_station ON line_results (batch_id, station, row_no, generation);

CREATE SEQUENCE IF NOT EXISTS line_runs;
-- The run that holds the station's name now: a new one at every start.
ALTER TABLE line_stations
    ADD COLUMN IF NOT EXISTS version integer,
    ADD COLUMN IF NOT EXISTS run_id bigint,
    ADD COLUMN IF NOT EXISTS run_token bytea UNIQUE,
    ADD COLUMN IF NOT EXISTS backend_pid integer,
    ADD COLUMN IF NOT EXISTS batch_id bigint REFERENCES line_batches ON DELETE SET NULL,
    ADD COLUMN IF NOT EXISTS fixture_names text[],
    ADD COLUMN IF NOT EXISTS lease_seconds double precision,
    ADD COLUMN IF NOT EXISTS row_tries integer;

-- Rows of each state, and units tried and failed, per batch. Each session
-- adds to a shard of its own, so that stations do not queue for one row of
-- counts; a batch's count is the sum of its shards.
CREATE TABLE IF NOT EXISTS line_row_counts (
    batch_id bigint NOT NULL REFERENCES line_batches ON DELETE CASCADE,
    state text NOT NULL,
    shard integer NOT NULL,
    rows bigint NOT NULL,
    PRIMARY KEY (batch_id, state, shard));
CREATE TABLE IF NOT EXISTS line_result_counts (
    batch_id bigint NOT NULL REFERENCES line_batches ON DELETE CASCADE,
    shard integer NOT NULL,
    units bigint NOT NULL,
    failed_units bigint NOT NULL,
    PRIMARY KEY (batch_id, shard));

CREATE OR REPLACE FUNCTION line_count_rows() RETURNS trigger
LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
BEGIN
    IF TG_OP = 'INSERT' THEN
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT batch_id, state, pg_backend_pid() % 16, count(*) FROM new_rows
         GROUP BY batch_id, state
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    ELSIF TG_OP = 'UPDATE' THEN
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT batch_id, state, pg_backend_pid() % 16, sum(n)
          FROM (SELECT batch_id, state, -1 AS n FROM old_rows
                UNION ALL SELECT batch_id, state, 1 FROM new_rows) d
         GROUP BY batch_id, state HAVING sum(n) <> 0
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    ELSE
        -- A batch deleted whole takes its counts with it.
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT o.batch_id, o.state, pg_backend_pid() % 16, -count(*) FROM old_rows o
         WHERE EXISTS (SELECT 1 FROM line_batches b WHERE b.id = o.batch_id)
         GROUP BY o.batch_id, o.state
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    END IF;
    RETURN NULL;
END
$$;
DROP TRIGGER IF EXISTS line_rows_inserted ON line_rows;
CREATE TRIGGER line_rows_inserted AFTER INSERT ON line_rows
    REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION line_count_rows();
DROP TRIGGER IF EXISTS line_rows_updated ON line_rows;
CREATE TRIGGER line_rows_updated AFTER UPDATE ON line_rows
    REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows
    FOR EACH STATEMENT EXECUTE FUNCTION line_count_rows();
DROP TRIGGER IF EXISTS line_rows_deleted ON line_rows;
CREATE TRIGGER line_rows_deleted AFTER DELETE ON line_rows
    REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT EXECUTE FUNCTION line_count_rows();

CREATE OR REPLACE FUNCTION line_count_results() RETURNS trigger
LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
BEGIN
    INSERT INTO line_result_counts AS c (batch_id, shard, units, failed_units)
    SELECT batch_id, pg_backend_pid() % 16, count(*), count(*) FILTER (WHERE NOT passed)
      FROM new_results GROUP BY batch_id
        ON CONFLICT (batch_id, shard) DO UPDATE
       SET units = c.units + excluded.units, failed_units = c.failed_units + excluded.failed_units;
    RETURN NULL;
END
$$;
DROP TRIGGER IF EXISTS line_results_inserted ON line_results;
CREATE TRIGGER line_results_inserted AFTER INSERT ON line_results
    REFERENCING NEW TABLE AS new_results FOR EACH STATEMENT EXECUTE FUNCTION line_count_results();

-- The counts so far, made afresh while no station writes.
LOCK TABLE line_rows, line_results IN SHARE MODE;
DELETE FROM line_row_counts;
DELETE FROM line_result_counts;
INSERT INTO line_row_counts (batch_id, state, shard, rows)
SELECT batch_id, state, 0, count(*) FROM line_rows GROUP BY batch_id, state;
INSERT INTO line_result_counts (batch_id, shard, units, failed_units)
SELECT batch_id, 0, count(*), count(*) FILTER (WHERE NOT passed) FROM line_results
 GROUP BY batch_id;

-- Made afresh: a view cannot lose the columns a later version gave it.
DROP VIEW IF EXISTS line_progress;
CREATE VIEW line_progress AS
SELECT b.name AS batch,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c WHERE c.batch_id = b.id), 0)::bigint
           AS rows,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'waiting'), 0)::bigint AS waiting,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'leased'), 0)::bigint AS leased,
       (SELECT count(*) FROM line_rows r
         WHERE r.batch_id = b.id AND r.state = 'leased' AND r.lease_end < now())
           AS expired_leases,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'passed'), 0)::bigint AS passed,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'set_aside'), 0)::bigint AS set_aside,
       coalesce((SELECT sum(f.failed_units) FROM line_result_counts f
                  WHERE f.batch_id = b.id), 0)::bigint AS failed_units
  FROM line_batches b;

-- The schema's version, for a station, which reads no table. (line init
-- keeps stations_from since rolling upgrades; a database from before gets it
-- here.)
ALTER TABLE line_schema ADD COLUMN IF NOT EXISTS stations_from integer;
CREATE OR REPLACE FUNCTION line_schema_version()
RETURNS TABLE (version integer, stations_from integer)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT max(s.version), max(coalesce(s.stations_from, s.version)) FROM line_schema s;
$$;

-- The station's run that `p_token` names; refused if it names none (the
-- station was started again elsewhere, or a caller guesses).
CREATE OR REPLACE FUNCTION line_run(p_token text) RETURNS line_stations
LANGUAGE plpgsql STABLE SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations;
BEGIN
    SELECT * INTO v_run FROM line_stations
     WHERE run_token = sha256(convert_to(coalesce(p_token, ''), 'UTF8'));
    IF NOT FOUND THEN
        RAISE EXCEPTION 'this run of the station is not the line''s: its name was taken by '
                        'another run, or it was never started' USING ERRCODE = 'KL001';
    END IF;
    RETURN v_run;
END
$$;

-- The name of the run's fixture number p_fixture (from 1).
CREATE OR REPLACE FUNCTION line_fixture(p_run line_stations, p_fixture integer) RETURNS text
LANGUAGE plpgsql IMMUTABLE SET search_path FROM CURRENT AS $$
BEGIN
    IF p_fixture IS NULL OR p_fixture < 1 OR p_fixture > cardinality(p_run.fixture_names) THEN
        RAISE EXCEPTION 'fixture % is not one of station %''s', p_fixture, p_run.name
            USING ERRCODE = '22023';
    END IF;
    RETURN p_run.fixture_names[p_fixture];
END
$$;

-- Whether the station that holds the name p_station is alive: its heartbeat
-- is younger than its lease and its session is still there.
CREATE OR REPLACE FUNCTION line_station_alive(p_station line_stations) RETURNS boolean
LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$
    SELECT p_station.last_seen >= clock_timestamp()
                                  - make_interval(secs => coalesce(p_station.lease_seconds, 30))
       AND EXISTS (SELECT 1 FROM pg_stat_activity a WHERE a.pid = p_station.backend_pid);
$$;

-- Takes the name p_station for a new run on batch p_batch, with its
-- fixtures, lease and row tries, and answers the run's token; the rows an
-- earlier run of the name held stay as they are until line_station_ready.
-- If a live station holds the name: started false, with its host and pid.
DROP FUNCTION IF EXISTS line_station_start(text, text, integer, integer);
CREATE OR REPLACE FUNCTION line_station_start(p_station text, p_host text, p_pid integer, p_batch text,
                                   p_fixtures text[], p_lease_seconds double precision,
                                   p_row_tries integer, p_version integer)
RETURNS TABLE (started boolean, token text, running_host text, running_pid integer)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_batch bigint;
    v_held line_stations;
    v_token text := replace(gen_random_uuid()::text || gen_random_uuid()::text, '-', '');
BEGIN
    IF coalesce(length(p_station), 0) NOT BETWEEN 1 AND 200
       OR coalesce(cardinality(p_fixtures), 0) NOT BETWEEN 1 AND 256
       OR array_position(p_fixtures, NULL) IS NOT NULL
       OR p_lease_seconds IS NULL OR p_lease_seconds NOT BETWEEN 1 AND 3600
       OR p_row_tries IS NULL OR p_row_tries NOT BETWEEN 1 AND 100 THEN
        RAISE EXCEPTION 'a station needs a name of 1 to 200 characters, 1 to 256 fixtures, a '
                        'lease of 1 s to 1 hour and row tries from 1 to 100'
            USING ERRCODE = '22023';
    END IF;
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = 'KL002';
    END IF;
    INSERT INTO line_stations (name, host, pid, fixtures, started_at, last_seen)
    VALUES (p_station, coalesce(p_host, ''), coalesce(p_pid, 0), cardinality(p_fixtures),
            clock_timestamp(), '-infinity')
        ON CONFLICT (name) DO NOTHING;
    SELECT * INTO v_held FROM line_stations WHERE name = p_station FOR UPDATE;
    IF v_held.run_token IS NOT NULL AND line_station_alive(v_held) THEN
        RETURN QUERY SELECT false, NULL::text, v_held.host, v_held.pid;
        RETURN;
    END IF;
    UPDATE line_stations
       SET host = coalesce(p_host, ''), pid = coalesce(p_pid, 0),
           fixtures = cardinality(p_fixtures), started_at = clock_timestamp(),
           last_seen = clock_timestamp(), version = p_version, run_id = nextval('line_runs'),
           run_token = sha256(convert_to(v_token, 'UTF8')), backend_pid = pg_backend_pid(),
           batch_id = v_batch, fixture_names = p_fixtures, lease_seconds = p_lease_seconds,
           row_tries = p_row_tries
     WHERE name = p_station;
    RETURN QUERY SELECT true, v_token, p_host, p_pid;
END
$$;

-- Once the run has recorded what its predecessor journalled alone: gives
-- back at once the rows earlier runs of the station held, but a row whose
-- values went to its unit only to a unit that holds them.
CREATE OR REPLACE FUNCTION line_station_ready(p_token text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_rows
       SET state = 'waiting', holder_station = NULL, holder_fixture = NULL, lease_end = NULL,
           holder_run = NULL
     WHERE state = 'leased' AND holder_station = v_run.name
       AND holder_run IS DISTINCT FROM v_run.run_id
       AND written_generation IS DISTINCT FROM generation;
    UPDATE line_rows SET lease_end = clock_timestamp()
     WHERE state = 'leased' AND holder_station = v_run.name
       AND holder_run IS DISTINCT FROM v_run.run_id AND lease_end > clock_timestamp();
END
$$;

-- The run on a new connection after the old one was lost: its session is
-- this one now. Refused if another run took the name meanwhile.
CREATE OR REPLACE FUNCTION line_station_resume(p_token text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_stations SET backend_pid = pg_backend_pid(), last_seen = clock_timestamp()
     WHERE name = v_run.name;
END
$$;

-- The run's heartbeat, with its batch's counts.
DROP FUNCTION IF EXISTS line_station_seen(text);
CREATE OR REPLACE FUNCTION line_station_seen(p_token text)
RETURNS TABLE (rows bigint, waiting bigint, leased bigint, expired_leases bigint, passed bigint,
               set_aside bigint, failed_units bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp(), backend_pid = pg_backend_pid()
     WHERE name = v_run.name;
    RETURN QUERY
    SELECT p.rows, p.waiting, p.leased, p.expired_leases, p.passed, p.set_aside, p.failed_units
      FROM line_progress p JOIN line_batches b ON b.name = p.batch WHERE b.id = v_run.batch_id;
END
$$;

-- For a unit that holds the identity of row p_row (NULL: none), on the run's
-- fixture p_fixture: that row if it is free (nothing while another lease on
-- it lives); else the first waiting row, or one whose lease ran out (but not
-- one whose values went to its unit), in one statement: rows another
-- claimer has locked are skipped, not waited for, and never given twice. If
-- p_row passed already, answers it (already_passed) and takes nothing.
DROP FUNCTION IF EXISTS line_claim(text, text, text, double precision, integer);
CREATE OR REPLACE FUNCTION line_claim(p_token text, p_fixture integer, p_row integer)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text,
               already_passed boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text := line_fixture(v_run, p_fixture);
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = v_run.name AND last_seen < clock_timestamp() - interval '1 second';
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, NULL::jsonb, NULL::text, NULL::text, true
      FROM line_rows r
     WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    PERFORM FROM line_rows r
      WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'leased'
        AND r.lease_end >= clock_timestamp();
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = v_run.name, holder_fixture = v_fixture,
               holder_run = v_run.run_id,
               lease_end = clock_timestamp() + make_interval(secs => v_run.lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_run.batch_id
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting'
                        OR (c.lease_end < clock_timestamp()
                            AND (c.written_generation IS DISTINCT FROM c.generation
                                 OR coalesce(c.identity, '{}') = '{}')))
                 ORDER BY c.row_no
                 LIMIT 1
                   FOR UPDATE SKIP LOCKED))
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;

-- Extends the run's lease on the row for the run's lease; false if the row
-- went elsewhere. p_writing: and marks the row's values as sent to the unit
-- under this claim, before each write to the unit.
DROP FUNCTION IF EXISTS line_renew(text, integer, bigint, text, text, double precision);
DROP FUNCTION IF EXISTS line_writing(text, integer, bigint, text, text, double precision);
CREATE OR REPLACE FUNCTION line_renew(p_token text, p_fixture integer, p_row integer,
                           p_generation bigint, p_writing boolean)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text := line_fixture(v_run, p_fixture);
BEGIN
    UPDATE line_rows r
       SET lease_end = clock_timestamp() + make_interval(secs => v_run.lease_seconds),
           written_generation = CASE WHEN p_writing THEN p_generation
                                     ELSE r.written_generation END
     WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'leased'
       AND r.generation = p_generation AND r.holder_run = v_run.run_id
       AND r.holder_fixture = v_fixture;
    RETURN FOUND;
END
$$;

-- Keeps a unit's result and, if the station still holds the row's lease
-- under p_generation, settles the row, in one transaction: passed; set aside
-- once the run's row tries of units in a row failed it at the same step with
-- the same message; else waiting again. Answers whether the row was settled.
-- p_row NULL: a unit that failed before it took a row. p_fixture 0: the
-- fixture that holds the row (a result an earlier run of the station
-- journalled while the database was away).
DROP FUNCTION IF EXISTS line_record(text, integer, bigint, text, text, boolean, text, text, integer, json);
CREATE OR REPLACE FUNCTION line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint,
                            p_passed boolean, p_failed_step text, p_message text, p_entry json)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text;
    v_settled boolean := false;
BEGIN
    IF p_passed IS NULL OR p_entry IS NULL OR (p_passed AND p_failed_step IS NOT NULL)
       OR (p_passed AND p_row IS NULL)
       OR (NOT p_passed AND NOT coalesce(p_failed_step = ANY
           ('{ping,write,verify,certificate,port,lease,interrupted}'::text[]), false)) THEN
        RAISE EXCEPTION 'a result is passed, with its row, or failed at one of the steps'
            USING ERRCODE = '22023';
    END IF;
    IF p_fixture = 0 AND p_row IS NOT NULL THEN
        SELECT holder_fixture INTO v_fixture FROM line_rows
         WHERE batch_id = v_run.batch_id AND row_no = p_row AND state = 'leased'
           AND holder_station = v_run.name AND generation = p_generation;
    END IF;
    v_fixture := coalesce(v_fixture, line_fixture(v_run, p_fixture));
    IF p_row IS NOT NULL THEN
        WITH counted AS (
            SELECT r.row_no,
                   CASE WHEN p_passed THEN 0
                        WHEN r.fail_count > 0 AND r.fail_step IS NOT DISTINCT FROM p_failed_step
                             AND r.fail_message IS NOT DISTINCT FROM p_message
                        THEN r.fail_count + 1 ELSE 1 END AS fails
              FROM line_rows r
             WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed'
                            WHEN k.fails >= v_run.row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = NULL, holder_fixture = NULL, lease_end = NULL, holder_run = NULL
          FROM counted k
         WHERE r.batch_id = v_run.batch_id AND r.row_no = k.row_no AND r.state = 'leased'
           AND r.generation = p_generation AND r.holder_station = v_run.name
           AND r.holder_fixture = v_fixture;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry)
    VALUES (v_run.batch_id, p_row, v_run.name, v_fixture, p_passed, p_failed_step,
            CASE WHEN p_row IS NULL THEN NULL ELSE p_generation END, v_settled, p_entry);
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = v_run.name AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;

-- Whether a result the station sent over a connection lost meanwhile
-- reached the database: one of its own, with the row, the generation and
-- the journal line's time; and whether it settled its row.
CREATE OR REPLACE FUNCTION line_find_record(p_token text, p_row integer, p_generation bigint, p_time text)
RETURNS TABLE (found boolean, settled boolean)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT count(*) > 0, coalesce(bool_or(r.settled), false)
      FROM line_results r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.station = s.name
       AND r.row_no IS NOT DISTINCT FROM p_row
       AND r.generation IS NOT DISTINCT FROM p_generation AND r.entry ->> 'time' = p_time;
$$;

-- Each row's identity, for the run's batch: what tells its unit from others.
CREATE OR REPLACE FUNCTION line_identities(p_token text)
RETURNS TABLE (row_no integer, identity jsonb)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT r.row_no, r.identity FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.identity IS NOT NULL AND r.identity <> '{}';
$$;

-- The run's batch's rows set aside, in row order.
CREATE OR REPLACE FUNCTION line_set_aside_rows(p_token text)
RETURNS TABLE (row_no integer)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT r.row_no FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.state = 'set_aside' ORDER BY r.row_no;
$$;

-- The rows of the run's batch whose lease ran out after their values were
-- sent to the unit: kept for that unit, and where it was.
DROP FUNCTION IF EXISTS line_kept_rows(text);
CREATE FUNCTION line_kept_rows(p_token text)
RETURNS TABLE (row_no integer, unit text, holder_station text, holder_fixture text)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture
      FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.state = 'leased' AND r.lease_end < clock_timestamp()
       AND r.written_generation = r.generation AND coalesce(r.identity, '{}') <> '{}'
     ORDER BY r.row_no;
$$;

-- What a station may call, and what a dashboard may read: grants.sql gives
-- these, and line init checks that they were given.
CREATE OR REPLACE FUNCTION line_station_rights() RETURNS SETOF regprocedure
LANGUAGE sql IMMUTABLE SET search_path FROM CURRENT AS $$
    VALUES ('line_schema_version()'::regprocedure),
           ('line_station_start(text, text, integer, text, text[], double precision, integer, '
            'integer)'),
           ('line_station_ready(text)'), ('line_station_resume(text)'),
           ('line_station_seen(text)'), ('line_claim(text, integer, integer)'),
           ('line_renew(text, integer, integer, bigint, boolean)'),
           ('line_record(text, integer, integer, bigint, boolean, text, text, json)'),
           ('line_find_record(text, integer, bigint, text)'), ('line_identities(text)'),
           ('line_set_aside_rows(text)'), ('line_kept_rows(text)');
$$;
CREATE OR REPLACE FUNCTION line_viewer_rights() RETURNS SETOF regclass
LANGUAGE sql IMMUTABLE SET search_path FROM CURRENT AS $$
    VALUES ('line_progress'::regclass), ('station_rates');
$$;

REVOKE ALL ON FUNCTION line_count_rows(), line_count_results(), line_schema_version(),
    line_run(text), line_fixture(line_stations, integer), line_station_alive(line_stations),
    line_station_start(text, text, integer, text, text[], double precision, integer, integer),
    line_station_ready(text), line_station_resume(text), line_station_seen(text),
    line_claim(text, integer, integer), line_renew(text, integer, integer, bigint, boolean),
    line_record(text, integer, integer, bigint, boolean, text, text, json),
    line_find_record(text, integer, bigint, text), line_identities(text),
    line_set_aside_rows(text), line_kept_rows(text), line_station_rights(),
    line_viewer_rights() FROM PUBLIC;
