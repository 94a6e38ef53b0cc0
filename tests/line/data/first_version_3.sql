-- A database as line init made it at version 3 before its script was changed in place: no
-- line_writing, no written_generation. Kept to prove that the upgrade from it ends in
-- the schema of today.
SET search_path = public, pg_temp;

CREATE TABLE line_batches (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name text NOT NULL UNIQUE,
    imported_at timestamptz NOT NULL DEFAULT now());

-- Each distinct certificate once, however many rows give it.
CREATE TABLE line_certificates (
    sha256 text PRIMARY KEY,
    bytes bytea NOT NULL);

-- A row and its lease: who holds it (station and fixture), until when, and
-- the generation, counted up by every claim, that fences a late result.
CREATE TABLE line_rows (
    batch_id bigint NOT NULL REFERENCES line_batches ON DELETE CASCADE,
    row_no integer NOT NULL,
    unit text NOT NULL,
    row_values jsonb NOT NULL,
    certificate_sha256 text REFERENCES line_certificates,
    state text NOT NULL DEFAULT 'waiting'
        CHECK (state IN ('waiting', 'leased', 'passed', 'set_aside')),
    holder_station text,
    holder_fixture text,
    lease_end timestamptz,
    generation bigint NOT NULL DEFAULT 0,
    PRIMARY KEY (batch_id, row_no));
CREATE INDEX line_rows_open ON line_rows (batch_id, row_no) WHERE state IN ('waiting', 'leased');

-- Every unit tried, as its station journalled it; `settled` says whether it
-- settled its row (a late result does not).
CREATE TABLE line_results (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    batch_id bigint NOT NULL REFERENCES line_batches ON DELETE CASCADE,
    row_no integer,
    station text NOT NULL,
    fixture text NOT NULL,
    passed boolean NOT NULL,
    failed_step text,
    generation bigint,
    settled boolean NOT NULL,
    recorded_at timestamptz NOT NULL DEFAULT clock_timestamp(),
    entry json NOT NULL);
CREATE INDEX line_results_batch ON line_results (batch_id, id);
CREATE INDEX line_results_recent ON line_results (station, recorded_at);

CREATE TABLE line_stations (
    name text PRIMARY KEY,
    host text NOT NULL,
    pid integer NOT NULL,
    fixtures integer NOT NULL,
    started_at timestamptz NOT NULL,
    last_seen timestamptz NOT NULL);

CREATE VIEW line_progress AS
SELECT b.name AS batch,
       count(r.row_no) AS rows,
       count(*) FILTER (WHERE r.state = 'waiting') AS waiting,
       count(*) FILTER (WHERE r.state = 'leased') AS leased,
       count(*) FILTER (WHERE r.state = 'leased' AND r.lease_end < now()) AS expired_leases,
       count(*) FILTER (WHERE r.state = 'passed') AS passed,
       count(*) FILTER (WHERE r.state = 'set_aside') AS set_aside,
       (SELECT count(*) FROM line_results f
         WHERE f.batch_id = b.id AND NOT f.passed) AS failed_units
  FROM line_batches b LEFT JOIN line_rows r ON r.batch_id = b.id
 GROUP BY b.id, b.name;

CREATE VIEW station_rates AS
SELECT s.station,
       to_timestamp(floor(extract(epoch FROM s.recorded_at) / 600) * 600) AS period_start,
       b.name AS batch,
       count(*) FILTER (WHERE s.passed) AS passed,
       count(*) FILTER (WHERE NOT s.passed) AS failed
  FROM line_results s JOIN line_batches b ON b.id = s.batch_id
 GROUP BY s.station, period_start, b.name;

-- Takes the first waiting row of the batch, or one whose lease ran out, in
-- one statement: rows another claimer has locked are skipped, not waited
-- for, and never given twice.
CREATE FUNCTION line_claim(p_batch text, p_station text, p_fixture text,
                           p_lease_seconds double precision)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text)
LANGUAGE sql SECURITY DEFINER SET search_path = public, pg_temp AS $$
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = p_station, holder_fixture = p_fixture,
               lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               generation = r.generation + 1
         WHERE (r.batch_id, r.row_no) = (
               SELECT c.batch_id, c.row_no
                 FROM line_rows c JOIN line_batches b ON b.id = c.batch_id
                WHERE b.name = p_batch
                  AND (c.state = 'waiting'
                       OR (c.state = 'leased' AND c.lease_end < clock_timestamp()))
                ORDER BY c.row_no
                LIMIT 1
                  FOR UPDATE OF c SKIP LOCKED)
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
$$;

-- Extends a lease the caller still holds; false if the row went elsewhere.
CREATE FUNCTION line_renew(p_batch text, p_row integer, p_generation bigint, p_station text,
                           p_fixture text, p_lease_seconds double precision)
RETURNS boolean
LANGUAGE sql SECURITY DEFINER SET search_path = public, pg_temp AS $$
    WITH renewed AS (
        UPDATE line_rows r
           SET lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds)
          FROM line_batches b
         WHERE b.name = p_batch AND r.batch_id = b.id AND r.row_no = p_row
           AND r.state = 'leased' AND r.generation = p_generation
           AND r.holder_station = p_station AND r.holder_fixture = p_fixture
        RETURNING 1)
    SELECT count(*) = 1 FROM renewed;
$$;

-- Keeps a unit's result and, if the caller still holds the row's lease,
-- settles the row, in one transaction. Answers whether the row was settled.
-- p_row NULL: a unit that failed before it took a row.
CREATE FUNCTION line_record(p_batch text, p_row integer, p_generation bigint, p_station text,
                            p_fixture text, p_passed boolean, p_failed_step text,
                            p_set_aside boolean, p_entry json)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    v_batch bigint;
    v_settled boolean := false;
BEGIN
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = '22023';
    END IF;
    IF p_row IS NOT NULL THEN
        UPDATE line_rows
           SET state = CASE WHEN p_passed THEN 'passed'
                            WHEN p_set_aside THEN 'set_aside' ELSE 'waiting' END,
               holder_station = NULL, holder_fixture = NULL, lease_end = NULL
         WHERE batch_id = v_batch AND row_no = p_row AND state = 'leased'
           AND generation = p_generation AND holder_station = p_station
           AND holder_fixture = p_fixture;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry)
    VALUES (v_batch, p_row, p_station, p_fixture, p_passed, p_failed_step, p_generation,
            v_settled, p_entry);
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;

-- Claims a station's name for this session (a session-level advisory lock,
-- so a station that dies frees it at once) and gives back the leases its
-- earlier run held. If another session holds the name: false, with the
-- host and process that registered it.
CREATE FUNCTION line_station_start(p_station text, p_host text, p_pid integer,
                                   p_fixtures integer)
RETURNS TABLE (started boolean, running_host text, running_pid integer)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    IF NOT pg_try_advisory_lock(19251, hashtext(p_station)) THEN
        RETURN QUERY SELECT false, s.host, s.pid
                       FROM (SELECT 1) one LEFT JOIN line_stations s ON s.name = p_station;
        RETURN;
    END IF;
    INSERT INTO line_stations AS s
    VALUES (p_station, p_host, p_pid, p_fixtures, clock_timestamp(), clock_timestamp())
    ON CONFLICT (name) DO UPDATE
       SET host = excluded.host, pid = excluded.pid, fixtures = excluded.fixtures,
           started_at = excluded.started_at, last_seen = excluded.last_seen;
    UPDATE line_rows
       SET state = 'waiting', holder_station = NULL, holder_fixture = NULL, lease_end = NULL
     WHERE state = 'leased' AND holder_station = p_station;
    RETURN QUERY SELECT true, p_host, p_pid;
END
$$;

-- A running station's sign of life, while its fixtures wait for units.
CREATE FUNCTION line_station_seen(p_station text)
RETURNS void
LANGUAGE sql SECURITY DEFINER SET search_path = public, pg_temp AS $$
    UPDATE line_stations SET last_seen = clock_timestamp() WHERE name = p_station;
$$;

REVOKE ALL ON FUNCTION line_claim(text, text, text, double precision) FROM PUBLIC;
REVOKE ALL ON FUNCTION line_renew(text, integer, bigint, text, text, double precision) FROM PUBLIC;
REVOKE ALL ON FUNCTION line_record(text, integer, bigint, text, text, boolean, text, boolean, json)
    FROM PUBLIC;
REVOKE ALL ON FUNCTION line_station_start(text, text, integer, integer) FROM PUBLIC;
REVOKE ALL ON FUNCTION line_station_seen(text) FROM PUBLIC;


-- identity: the row's values no other row of its batch has, by their keys;
-- NULL for a row imported before, until the upgrade gives it one (a row
-- whose values other rows all share keeps none). fail_count: how
-- many units in a row failed it at fail_step with fail_message.
ALTER TABLE line_rows
    ADD COLUMN IF NOT EXISTS identity jsonb,
    ADD COLUMN IF NOT EXISTS fail_step text,
    ADD COLUMN IF NOT EXISTS fail_message text,
    ADD COLUMN IF NOT EXISTS fail_count integer NOT NULL DEFAULT 0;

-- Takes, for a unit that holds the identity of row p_row, that row if it is
-- free; else the first waiting row, or one whose lease ran out, in one
-- statement: rows another claimer has locked are skipped, not waited for,
-- and never given twice. If p_row passed already, answers it (already_passed)
-- and takes nothing.
DROP FUNCTION IF EXISTS line_claim(text, text, text, double precision);
CREATE OR REPLACE FUNCTION line_claim(p_batch text, p_station text, p_fixture text,
                           p_lease_seconds double precision, p_row integer)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text,
               already_passed boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, r.row_values, NULL::text, r.certificate_sha256, true
      FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
     WHERE b.name = p_batch AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = p_station, holder_fixture = p_fixture,
               lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               generation = r.generation + 1
         WHERE (r.batch_id, r.row_no) = (
               SELECT c.batch_id, c.row_no
                 FROM line_rows c JOIN line_batches b ON b.id = c.batch_id
                WHERE b.name = p_batch
                  AND (c.state = 'waiting'
                       OR (c.state = 'leased' AND c.lease_end < clock_timestamp()))
                ORDER BY c.row_no IS DISTINCT FROM p_row, c.row_no
                LIMIT 1
                  FOR UPDATE OF c SKIP LOCKED)
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;

-- Keeps a unit's result and, if the caller still holds the row's lease,
-- settles the row, in one transaction: passed; set aside once p_row_tries
-- units in a row failed it at the same step with the same message; else
-- waiting again. Answers whether the row was settled. p_row NULL: a unit
-- that failed before it took a row.
DROP FUNCTION IF EXISTS line_record(text, integer, bigint, text, text, boolean, text, boolean, json);
CREATE OR REPLACE FUNCTION line_record(p_batch text, p_row integer, p_generation bigint, p_station text,
                            p_fixture text, p_passed boolean, p_failed_step text,
                            p_message text, p_row_tries integer, p_entry json)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    v_batch bigint;
    v_settled boolean := false;
BEGIN
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = '22023';
    END IF;
    IF p_row IS NOT NULL THEN
        WITH counted AS (
            SELECT r.row_no,
                   CASE WHEN p_passed THEN 0
                        WHEN r.fail_count > 0 AND r.fail_step IS NOT DISTINCT FROM p_failed_step
                             AND r.fail_message IS NOT DISTINCT FROM p_message
                        THEN r.fail_count + 1 ELSE 1 END AS fails
              FROM line_rows r
             WHERE r.batch_id = v_batch AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed'
                            WHEN k.fails >= p_row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = NULL, holder_fixture = NULL, lease_end = NULL
          FROM counted k
         WHERE r.batch_id = v_batch AND r.row_no = k.row_no AND r.state = 'leased'
           AND r.generation = p_generation AND r.holder_station = p_station
           AND r.holder_fixture = p_fixture;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry)
    VALUES (v_batch, p_row, p_station, p_fixture, p_passed, p_failed_step, p_generation,
            v_settled, p_entry);
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;

REVOKE ALL ON FUNCTION line_claim(text, text, text, double precision, integer) FROM PUBLIC;
REVOKE ALL ON FUNCTION line_record(text, integer, bigint, text, text, boolean, text, text,
                                   integer, json) FROM PUBLIC;


-- Takes, for a unit that holds the identity of row p_row, that row if it is
-- free; else the first waiting row, or one whose lease ran out, in one
-- statement: rows another claimer has locked are skipped, not waited for,
-- and never given twice (the second look is made only if the first found
-- nothing). If p_row passed already, answers it (already_passed) and takes
-- nothing.
CREATE OR REPLACE FUNCTION line_claim(p_batch text, p_station text, p_fixture text,
                           p_lease_seconds double precision, p_row integer)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text,
               already_passed boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp AS $$
DECLARE
    v_batch bigint;
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, r.row_values, NULL::text, r.certificate_sha256, true
      FROM line_rows r
     WHERE r.batch_id = v_batch AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = p_station, holder_fixture = p_fixture,
               lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_batch
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                 ORDER BY c.row_no
                 LIMIT 1
                   FOR UPDATE SKIP LOCKED))
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;

CREATE TABLE line_schema (version integer NOT NULL);
INSERT INTO line_schema VALUES (3);
