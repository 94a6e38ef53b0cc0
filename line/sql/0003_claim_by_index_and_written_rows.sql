-- breaks stations older than: 3
-- A claim finds its row through the index of the open rows instead of
-- sorting the batch; a row knows when its values were sent to the unit under
-- its lease, and is then given only to a unit that holds them.

-- The generation whose lease saw the row's values sent to its unit.
ALTER TABLE line_rows ADD COLUMN IF NOT EXISTS written_generation bigint;

-- Takes, for a unit that holds the identity of row p_row, that row if it is
-- free (nothing while another lease on it lives); else the first waiting row, or one whose lease ran out, in one
-- statement: rows another claimer has locked are skipped, not waited for,
-- and never given twice (the second look is made only if the first found
-- nothing). If p_row passed already, answers it (already_passed) and takes
-- nothing.
CREATE OR REPLACE FUNCTION line_claim(p_batch text, p_station text, p_fixture text,
                           p_lease_seconds double precision, p_row integer)
RETURNS TABLE (claimed_row integer, claimed_generation bigint, claimed_unit text,
               claimed_values jsonb, claimed_certificate text, claimed_sha256 text,
               already_passed boolean)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
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
    -- The unit's own row, under a live lease: it waits for it rather than
    -- take another row, whose values would overwrite those it may hold.
    PERFORM FROM line_rows r
      WHERE r.batch_id = v_batch AND r.row_no = p_row AND r.state = 'leased'
        AND r.lease_end >= clock_timestamp();
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

REVOKE ALL ON FUNCTION line_claim(text, text, text, double precision, integer) FROM PUBLIC;

-- As line_renew, and marks the row's values as sent to the unit under this
-- claim: called before each write to the unit.
CREATE OR REPLACE FUNCTION line_writing(p_batch text, p_row integer, p_generation bigint,
                                        p_station text, p_fixture text,
                                        p_lease_seconds double precision)
RETURNS boolean
LANGUAGE sql SECURITY DEFINER SET search_path FROM CURRENT AS $$
    WITH marked AS (
        UPDATE line_rows r
           SET lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               written_generation = p_generation
          FROM line_batches b
         WHERE b.name = p_batch AND r.batch_id = b.id AND r.row_no = p_row
           AND r.state = 'leased' AND r.generation = p_generation
           AND r.holder_station = p_station AND r.holder_fixture = p_fixture
        RETURNING 1)
    SELECT count(*) = 1 FROM marked;
$$;
REVOKE ALL ON FUNCTION line_writing(text, integer, bigint, text, text, double precision)
    FROM PUBLIC;

-- Claims a station's name for this session (a session-level advisory lock,
-- so a station that dies frees it at once) and gives back the leases its
-- earlier run held: at once, but a row whose values went to its unit only
-- to a unit that holds them. If another session holds the name: false, with
-- the host and process that registered it.
CREATE OR REPLACE FUNCTION line_station_start(p_station text, p_host text, p_pid integer,
                                              p_fixtures integer)
RETURNS TABLE (started boolean, running_host text, running_pid integer)
LANGUAGE plpgsql SECURITY DEFINER SET search_path FROM CURRENT AS $$
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
     WHERE state = 'leased' AND holder_station = p_station
       AND written_generation IS DISTINCT FROM generation;
    UPDATE line_rows SET lease_end = clock_timestamp()
     WHERE state = 'leased' AND holder_station = p_station AND lease_end > clock_timestamp();
    RETURN QUERY SELECT true, p_host, p_pid;
END
$$;
