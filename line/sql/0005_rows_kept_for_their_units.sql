-- breaks stations older than: 4
-- A row whose values may have reached a unit that then failed, and that the
-- unit did not give back (written back to its own values), is kept for that
-- unit: only a unit that holds its identity takes it again, on any fixture.
-- A row kept for a unit that is lost for good is released by hand, with a
-- reason, and who released it is kept. Stations of version 4 work on as
-- before: their records keep nothing.

ALTER TABLE line_rows DROP CONSTRAINT IF EXISTS line_rows_state_check;
ALTER TABLE line_rows ADD CONSTRAINT line_rows_state_check
    CHECK (state IN ('waiting', 'leased', 'passed', 'set_aside', 'kept'));
-- Since when a kept row waits for its unit; holder_station and
-- holder_fixture say where the unit was. It stays set while the row's unit
-- holds it again under a lease: should that unit fail before anything is
-- written, it still holds the row's values.
ALTER TABLE line_rows ADD COLUMN IF NOT EXISTS kept_since timestamptz;
CREATE INDEX IF NOT EXISTS line_rows_kept ON line_rows (batch_id, row_no) WHERE state = 'kept';

CREATE TABLE IF NOT EXISTS line_releases (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    batch_id bigint NOT NULL REFERENCES line_batches ON DELETE CASCADE,
    row_no integer NOT NULL,
    reason text NOT NULL,
    released_by text NOT NULL,
    released_at timestamptz NOT NULL DEFAULT clock_timestamp(),
    unit_station text,
    unit_fixture text);

-- A row is kept for its unit when its record said so, or when its lease ran
-- out while its unit may hold its values (they were sent under the lease, or
-- the row was kept for that unit when it took it): its station died then.
CREATE OR REPLACE FUNCTION line_is_kept(p_row line_rows) RETURNS boolean
LANGUAGE sql STABLE SET search_path FROM CURRENT AS $$
    SELECT p_row.state = 'kept'
        OR (p_row.state = 'leased' AND p_row.lease_end < now()
            AND (p_row.written_generation IS NOT DISTINCT FROM p_row.generation
                 OR p_row.kept_since IS NOT NULL)
            AND coalesce(p_row.identity, '{}') <> '{}');
$$;

-- Made afresh: a view cannot lose the columns a later version gave it.
DROP VIEW IF EXISTS line_progress;
CREATE VIEW line_progress AS
SELECT b.name AS batch,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c WHERE c.batch_id = b.id), 0)::bigint
           AS rows,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'waiting'), 0)::bigint AS waiting,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'leased'), 0)::bigint
           - (SELECT count(*) FROM line_rows r
               WHERE r.batch_id = b.id AND r.state = 'leased' AND line_is_kept(r)) AS leased,
       (SELECT count(*) FROM line_rows r
         WHERE r.batch_id = b.id AND r.state = 'leased' AND r.lease_end < now()
           AND NOT line_is_kept(r)) AS expired_leases,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'passed'), 0)::bigint AS passed,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'set_aside'), 0)::bigint AS set_aside,
       coalesce((SELECT sum(f.failed_units) FROM line_result_counts f
                  WHERE f.batch_id = b.id), 0)::bigint AS failed_units,
       coalesce((SELECT sum(c.rows) FROM line_row_counts c
                  WHERE c.batch_id = b.id AND c.state = 'kept'), 0)::bigint
           + (SELECT count(*) FROM line_rows r
               WHERE r.batch_id = b.id AND r.state = 'leased' AND line_is_kept(r)) AS kept
  FROM line_batches b;

DROP FUNCTION IF EXISTS line_station_seen(text);
CREATE FUNCTION line_station_seen(p_token text)
RETURNS TABLE (rows bigint, waiting bigint, leased bigint, expired_leases bigint, passed bigint,
               set_aside bigint, failed_units bigint, kept bigint)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp(), backend_pid = pg_backend_pid()
     WHERE name = v_run.name;
    RETURN QUERY
    SELECT p.rows, p.waiting, p.leased, p.expired_leases, p.passed, p.set_aside, p.failed_units,
           p.kept
      FROM line_progress p JOIN line_batches b ON b.name = p.batch WHERE b.id = v_run.batch_id;
END
$$;

DROP FUNCTION IF EXISTS line_kept_rows(text);
CREATE FUNCTION line_kept_rows(p_token text)
RETURNS TABLE (row_no integer, unit text, holder_station text, holder_fixture text,
               kept_since timestamptz)
LANGUAGE sql STABLE SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture, coalesce(r.kept_since, r.lease_end)
      FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.state IN ('kept', 'leased') AND line_is_kept(r)
     ORDER BY r.row_no;
$$;

-- As in version 4, but a kept row comes back to its unit: the unit that
-- holds row p_row's identity takes it, kept or waiting.
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
               kept_since = CASE WHEN line_is_kept(r) THEN coalesce(r.kept_since, clock_timestamp())
                            END,
               lease_end = clock_timestamp() + make_interval(secs => v_run.lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_run.batch_id
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased', 'kept')
                   AND (c.state <> 'leased' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting'
                        OR (c.lease_end < clock_timestamp() AND NOT line_is_kept(c)))
                 ORDER BY c.row_no
                 LIMIT 1
                   FOR UPDATE SKIP LOCKED))
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;

-- As in version 4, and what became of the row's identity on a unit that
-- failed after its values may have reached it (p_identity: 'returned', the
-- unit's own values written back; 'not_held', the unit never took them;
-- 'kept', it may hold them): a kept row waits for its unit, never for another.
-- A kept row's unit that fails before anything was written (p_identity
-- NULL) still holds its values: the row stays kept.
CREATE OR REPLACE FUNCTION line_record(p_token text, p_fixture integer, p_row integer,
                                       p_generation bigint, p_passed boolean,
                                       p_failed_step text, p_message text, p_identity text,
                                       p_entry json)
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
           ('{ping,write,verify,certificate,port,lease,interrupted}'::text[]), false))
       OR (p_identity IS NOT NULL AND (p_passed OR p_row IS NULL
           OR p_identity <> ALL ('{returned,not_held,kept}'::text[]))) THEN
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
                        THEN r.fail_count + 1 ELSE 1 END AS fails,
                   NOT p_passed AND (p_identity = 'kept'
                                     OR (p_identity IS NULL AND r.kept_since IS NOT NULL))
                       AS kept
              FROM line_rows r
             WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed' WHEN k.kept THEN 'kept'
                            WHEN k.fails >= v_run.row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = CASE WHEN k.kept THEN r.holder_station END,
               holder_fixture = CASE WHEN k.kept THEN r.holder_fixture END,
               kept_since = CASE WHEN k.kept THEN coalesce(r.kept_since, clock_timestamp()) END,
               lease_end = NULL, holder_run = NULL
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

-- The record of a station of version 4, which knows nothing of identities.
CREATE OR REPLACE FUNCTION line_record(p_token text, p_fixture integer, p_row integer,
                                       p_generation bigint, p_passed boolean,
                                       p_failed_step text, p_message text, p_entry json)
RETURNS boolean
LANGUAGE sql SECURITY DEFINER SET search_path FROM CURRENT AS $$
    SELECT line_record(p_token, p_fixture, p_row, p_generation, p_passed, p_failed_step,
                       p_message, NULL::text, p_entry);
$$;

-- The rows of earlier runs of the station: given back at once, but a row
-- whose values went to its unit is kept for that unit.
CREATE OR REPLACE FUNCTION line_station_ready(p_token text) RETURNS void
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    WITH earlier AS (
        SELECT r.batch_id, r.row_no,
               (r.written_generation IS NOT DISTINCT FROM r.generation
                OR r.kept_since IS NOT NULL)
               AND coalesce(r.identity, '{}') <> '{}' AS kept
          FROM line_rows r
         WHERE r.state = 'leased' AND r.holder_station = v_run.name
           AND r.holder_run IS DISTINCT FROM v_run.run_id)
    UPDATE line_rows r
       SET state = CASE WHEN e.kept THEN 'kept' ELSE 'waiting' END,
           kept_since = CASE WHEN e.kept THEN coalesce(r.kept_since, clock_timestamp()) END,
           holder_station = CASE WHEN e.kept THEN r.holder_station END,
           holder_fixture = CASE WHEN e.kept THEN r.holder_fixture END,
           lease_end = NULL, holder_run = NULL
      FROM earlier e
     WHERE r.batch_id = e.batch_id AND r.row_no = e.row_no;
END
$$;

-- Frees a row kept for a unit that is lost for good, for any unit, with the
-- reason; who released it is the session's role. Answers where its unit
-- was. Not a station's to call.
CREATE OR REPLACE FUNCTION line_release(p_batch text, p_row integer, p_reason text)
RETURNS TABLE (unit text, unit_station text, unit_fixture text)
LANGUAGE plpgsql SET search_path FROM CURRENT AS $$
DECLARE
    v_row line_rows;
BEGIN
    IF coalesce(trim(p_reason), '') = '' THEN
        RAISE EXCEPTION 'a release needs a reason' USING ERRCODE = '22023';
    END IF;
    SELECT r.* INTO v_row FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
     WHERE b.name = p_batch AND r.row_no = p_row FOR UPDATE OF r;
    IF NOT FOUND THEN
        RAISE EXCEPTION 'batch % has no row %', p_batch, p_row USING ERRCODE = 'KL002';
    END IF;
    IF NOT line_is_kept(v_row) THEN
        RAISE EXCEPTION 'row % of batch % is % and kept for no unit; nothing released', p_row,
            p_batch, replace(v_row.state, '_', ' ') USING ERRCODE = '22023';
    END IF;
    UPDATE line_rows
       SET state = 'waiting', holder_station = NULL, holder_fixture = NULL, lease_end = NULL,
           holder_run = NULL, kept_since = NULL
     WHERE batch_id = v_row.batch_id AND row_no = p_row;
    INSERT INTO line_releases (batch_id, row_no, reason, released_by, unit_station, unit_fixture)
    VALUES (v_row.batch_id, p_row, p_reason, session_user, v_row.holder_station,
            v_row.holder_fixture);
    RETURN QUERY SELECT v_row.unit, v_row.holder_station, v_row.holder_fixture;
END
$$;

CREATE OR REPLACE FUNCTION line_station_rights() RETURNS SETOF regprocedure
LANGUAGE sql IMMUTABLE SET search_path FROM CURRENT AS $$
    VALUES ('line_schema_version()'::regprocedure),
           ('line_station_start(text, text, integer, text, text[], double precision, integer, '
            'integer)'),
           ('line_station_ready(text)'), ('line_station_resume(text)'),
           ('line_station_seen(text)'), ('line_claim(text, integer, integer)'),
           ('line_renew(text, integer, integer, bigint, boolean)'),
           ('line_record(text, integer, integer, bigint, boolean, text, text, json)'),
           ('line_record(text, integer, integer, bigint, boolean, text, text, text, json)'),
           ('line_find_record(text, integer, bigint, text)'), ('line_identities(text)'),
           ('line_set_aside_rows(text)'), ('line_kept_rows(text)');
$$;

REVOKE ALL ON FUNCTION line_is_kept(line_rows), line_station_seen(text), line_kept_rows(text),
    line_record(text, integer, integer, bigint, boolean, text, text, text, json),
    line_release(text, integer, text) FROM PUBLIC;
