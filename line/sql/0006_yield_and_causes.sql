-- breaks stations older than: 4
-- What a supervisor reads: each fixture's units tried and passed and its
-- first-pass yield, its last failure, whether it fails its units while
-- others pass them; and the causes that cost the most units. A unit that
-- failed and came back to its kept row is the same unit: it is counted at
-- its first try. Two views for a plant's dashboard, readable by the
-- viewer's role.

-- A result's message, and whether its unit had come back to its row (it
-- held the row's identity when it took it), kept beside the journal's line
-- so that the figures need not read every line's JSON.
ALTER TABLE line_results
    ADD COLUMN IF NOT EXISTS message text,
    ADD COLUMN IF NOT EXISTS came_back boolean NOT NULL DEFAULT false;
-- Whether the row's present lease went to the unit that holds its identity.
ALTER TABLE line_rows ADD COLUMN IF NOT EXISTS claimed_by_its_unit boolean NOT NULL DEFAULT false;
CREATE INDEX IF NOT EXISTS line_results_passed ON line_results (batch_id, recorded_at)
    WHERE passed;
CREATE INDEX IF NOT EXISTS line_results_fixture ON line_results (batch_id, station, fixture, id);
UPDATE line_results SET message = coalesce(entry ->> 'message', '') WHERE message IS NULL;
WITH earlier AS (
    SELECT r.id,
           lag(r.entry ->> 'identity') OVER (PARTITION BY r.batch_id, r.row_no ORDER BY r.id)
               = 'kept' AS came_back
      FROM line_results r WHERE r.row_no IS NOT NULL)
UPDATE line_results r SET came_back = true
  FROM earlier e WHERE e.id = r.id AND e.came_back AND NOT r.came_back;

-- The views read line_rows through it: a pure test of the row it is given.
GRANT EXECUTE ON FUNCTION line_is_kept(line_rows) TO PUBLIC;

-- Per batch, station and fixture: the units tried (each at its first try,
-- units without a row included), passed, passed at their first try, the
-- first-pass yield, the last failure, and whether the fixture is flagged:
-- its last 3 units failed at the same step while another fixture passed a
-- unit since the first of them.
DROP VIEW IF EXISTS fixture_yield;
CREATE VIEW fixture_yield AS
SELECT b.name AS batch, f.station, f.fixture, f.tried, f.passed, f.passed_first,
       round(f.passed_first::numeric / nullif(f.tried, 0), 3) AS first_pass_yield,
       (SELECT l.failed_step || ': ' || l.message FROM line_results l WHERE l.id = f.last_failed)
           AS last_failure,
       t.failing AND EXISTS (
           SELECT 1 FROM line_results p
            WHERE p.batch_id = b.id AND p.id > t.since AND p.passed
              AND (p.station, p.fixture) IS DISTINCT FROM (f.station, f.fixture)) AS flagged,
       f.last_unit_at
  FROM line_batches b
 CROSS JOIN LATERAL (
       SELECT r.station, r.fixture,
              count(*) FILTER (WHERE NOT r.came_back) AS tried,
              count(*) FILTER (WHERE r.passed) AS passed,
              count(*) FILTER (WHERE r.passed AND NOT r.came_back) AS passed_first,
              max(r.id) FILTER (WHERE NOT r.passed) AS last_failed,
              max(r.recorded_at) AS last_unit_at
         FROM line_results r WHERE r.batch_id = b.id
        GROUP BY r.station, r.fixture) f
 CROSS JOIN LATERAL (
       SELECT count(*) FILTER (WHERE NOT x.passed) = 3 AND count(DISTINCT x.failed_step) = 1
                  AS failing,
              min(x.id) AS since
         FROM (SELECT x.id, x.passed, x.failed_step FROM line_results x
                WHERE x.batch_id = b.id AND x.station = f.station AND x.fixture = f.fixture
                ORDER BY x.id DESC LIMIT 3) x) t;

-- Per batch, step and message: the units that failed so (each once, at the
-- try that failed it).
DROP VIEW IF EXISTS failure_causes;
CREATE VIEW failure_causes AS
SELECT b.name AS batch, c.step, c.message, c.units
  FROM line_batches b
 CROSS JOIN LATERAL (
       SELECT r.failed_step AS step, r.message, count(*) AS units
         FROM line_results r
        WHERE r.batch_id = b.id AND NOT r.passed AND NOT r.came_back
        GROUP BY r.failed_step, r.message) c;

-- As in version 5, and whether the row went to the unit that holds its
-- identity (one that came back to it) is kept with the lease.
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
               claimed_by_its_unit = r.row_no IS NOT DISTINCT FROM p_row,
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

-- As in version 5, and the result's message and whether its unit came back
-- to its row are kept beside it.
CREATE OR REPLACE FUNCTION line_record(p_token text, p_fixture integer, p_row integer,
                                       p_generation bigint, p_passed boolean,
                                       p_failed_step text, p_message text, p_identity text,
                                       p_entry json)
RETURNS boolean
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text;
    v_came_back boolean := false;
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
                       AS kept,
                   r.claimed_by_its_unit AS came_back
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
           AND r.holder_fixture = v_fixture
        RETURNING k.came_back INTO v_came_back;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry, message, came_back)
    VALUES (v_run.batch_id, p_row, v_run.name, v_fixture, p_passed, p_failed_step,
            CASE WHEN p_row IS NULL THEN NULL ELSE p_generation END, v_settled, p_entry,
            coalesce(p_message, ''), coalesce(v_came_back, false));
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = v_run.name AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;

CREATE OR REPLACE FUNCTION line_viewer_rights() RETURNS SETOF regclass
LANGUAGE sql IMMUTABLE SET search_path FROM CURRENT AS $$
    VALUES ('line_progress'::regclass), ('station_rates'), ('fixture_yield'), ('failure_causes');
$$;
